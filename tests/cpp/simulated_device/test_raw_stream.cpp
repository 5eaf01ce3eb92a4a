#include "TestSupport.h"

#include <VelmoCodec/Evt3Decoder.h>
#include <VelmoSim/SimulatedCamera.h>

#include <functional>
#include <string>
#include <vector>

namespace velmo {
namespace {

using testing_support::Records;

void decodeInto(Evt3Decoder& decoder, const std::vector<std::uint8_t>& raw, Records& records) {
    const Evt3Capacity capacity = decoder.capacityFor(raw.data(), raw.size());
    std::vector<Event2D> events(capacity.events);
    std::vector<TriggerEvent> triggers(capacity.triggers);
    const Evt3Decoded decoded = decoder.decode(raw.data(), raw.size(), events.data(), triggers.data());
    records.events.insert(records.events.end(), events.begin(), events.begin() + decoded.events);
    records.triggers.insert(records.triggers.end(), triggers.begin(), triggers.begin() + decoded.triggers);
}

void expectSameRecords(const Records& decoded, const Records& read) {
    ASSERT_EQ(decoded.events.size(), read.events.size());
    for (std::size_t i = 0; i < read.events.size(); ++i) {
        const Event2D& a = decoded.events[i];
        const Event2D& b = read.events[i];
        ASSERT_TRUE(testing_support::sameRecord(a, b))
            << "event " << i << ": " << a.x << "," << a.y << "," << int(a.polarity) << "," << a.timestamp << " vs "
            << b.x << "," << b.y << "," << int(b.polarity) << "," << b.timestamp;
    }
    ASSERT_EQ(decoded.triggers.size(), read.triggers.size());
    for (std::size_t i = 0; i < read.triggers.size(); ++i) {
        ASSERT_TRUE(testing_support::sameRecord(decoded.triggers[i], read.triggers[i])) << "trigger " << i;
    }
}

struct RawCase {
    const char* name;
    std::function<void(SimulatedCamera&)> configure;
    std::vector<std::uint64_t> spans_us;
};

void PrintTo(const RawCase& c, std::ostream* out) { *out << c.name; }

class RawStream : public ::testing::TestWithParam<RawCase> {};

// Two cameras of one serial with the same settings: one read as records, the other as raw bytes
// in the same spans, each span's bytes decoded on their own, however many wraps of the 24-bit
// time came before.
TEST_P(RawStream, DecodesToExactlyWhatReadGives) {
    const auto as_records = SimulatedCamera::open("");
    const auto as_raw = SimulatedCamera::open("");
    GetParam().configure(*as_records);
    GetParam().configure(*as_raw);
    Records read;
    Records decoded;
    Evt3Decoder decoder(imx636::kSensorWidth, imx636::kSensorHeight);
    for (const std::uint64_t span : GetParam().spans_us) {
        as_records->read(span, read.events, read.triggers);
        std::vector<std::uint8_t> raw;
        as_raw->readRaw(span, raw);
        decoder.reset();
        decodeInto(decoder, raw, decoded);
        EXPECT_EQ(decoder.counters().skipped_words + decoder.counters().untimed_dropped +
                      decoder.counters().outside_dropped,
                  0u);
    }
    ASSERT_GT(read.events.size(), 0u);
    expectSameRecords(decoded, read);
}

void everyToolOn(SimulatedCamera& camera) {
    ASSERT_TRUE(camera.tool(ToolType::TRIGGER_IN)->setParam("enable", true));
    ASSERT_TRUE(camera.tool(ToolType::ANTI_FLICKER)->setParam("enable", true));
    ASSERT_TRUE(camera.tool(ToolType::EVENT_TRAIL_FILTER)->setParam("enable", true));
    ASSERT_TRUE(camera.tool(ToolType::EVENT_RATE_CONTROL)->setParam("max_event_rate", 300'000));
    ASSERT_TRUE(camera.tool(ToolType::EVENT_RATE_CONTROL)->setParam("enable", true));
}

// A small window keeps the events few while the stream runs past a wrap of the 24-bit time.
void smallWindowWithTriggers(SimulatedCamera& camera) {
    const auto roi = camera.tool(ToolType::ROI);
    ASSERT_TRUE(roi->setParam("x", 600) && roi->setParam("x_width", 8) && roi->setParam("y", 300) &&
                roi->setParam("y_height", 8) && roi->setParam("enable", true));
    ASSERT_TRUE(camera.tool(ToolType::TRIGGER_IN)->setParam("enable", true));
}

INSTANTIATE_TEST_SUITE_P(
    Settings, RawStream,
    ::testing::Values(RawCase{"Defaults", [](SimulatedCamera&) {}, {1, 999, 10'000, 0, 40'000, 7}},
                      RawCase{"EveryToolOn", everyToolOn, {5'000, 20'000, 1, 30'000}},
                      RawCase{"PastATimeWrap", smallWindowWithTriggers, {10'000'000, 7'000'000, 2'000, 10'000'000, 10'000'000}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(RawStream, EachCallsBytesDecodeOnTheirOwn) {
    const auto as_records = SimulatedCamera::open("");
    const auto as_raw = SimulatedCamera::open("");
    for (SimulatedCamera* camera : {as_records.get(), as_raw.get()})
        ASSERT_TRUE(camera->tool(ToolType::TRIGGER_IN)->setParam("enable", true));
    for (int call = 0; call < 3; ++call) {
        Records read;
        as_records->read(25'000, read.events, read.triggers);
        std::vector<std::uint8_t> raw;
        as_raw->readRaw(25'000, raw);
        Evt3Decoder fresh;
        Records decoded;
        decodeInto(fresh, raw, decoded);
        expectSameRecords(decoded, read);
        EXPECT_EQ(fresh.counters().untimed_dropped, 0u);
    }
}

}  // namespace
}  // namespace velmo

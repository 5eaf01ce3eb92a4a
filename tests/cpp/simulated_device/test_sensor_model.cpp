#include "TestSupport.h"

#include <VelmoSim/SimulatedCamera.h>
#include <sensor/Filters.h>
#include <sensor/Scene.h>

#include <algorithm>
#include <functional>
#include <limits>
#include <map>

namespace velmo {
namespace {

struct Span {
    std::vector<Event2D> events;
    std::vector<TriggerEvent> triggers;
};

Span readSpan(SimulatedCamera& camera, std::uint64_t duration_us) {
    Span span;
    camera.read(duration_us, span.events, span.triggers);
    return span;
}

bool inLamp(const Event2D& event) { return sensor::Lamp::covers(event.x, event.y); }

std::size_t countIf(const std::vector<Event2D>& events, const std::function<bool(const Event2D&)>& keep) {
    return static_cast<std::size_t>(std::count_if(events.begin(), events.end(), keep));
}

TEST(DefaultStream, HoldsAboutAMillionEventsASecondWithTheLampWellUnderHalf) {
    for (const CameraDescription& description : discoverCameras()) {
        const auto camera = SimulatedCamera::open(description.serial);
        const auto events = readSpan(*camera, 1'000'000).events;
        EXPECT_GT(events.size(), 800'000u) << description.serial;
        EXPECT_LT(events.size(), 1'200'000u) << description.serial;
        EXPECT_LT(countIf(events, inLamp), events.size() / 3) << description.serial;
        ASSERT_TRUE(std::is_sorted(events.begin(), events.end(), [](const Event2D& a, const Event2D& b) {
            return a.timestamp < b.timestamp;
        }));
    }
}

// The smallest time between two events of one pixel and polarity.
double shortestGapUs(const std::vector<Event2D>& events) {
    std::map<std::uint32_t, std::uint64_t> last;
    std::uint64_t shortest = std::numeric_limits<std::uint64_t>::max();
    for (const Event2D& event : events) {
        const std::uint32_t track = (std::uint32_t{event.x} << 12 | event.y) << 1 | event.polarity;
        const auto found = last.find(track);
        if (found != last.end()) shortest = std::min(shortest, event.timestamp - found->second);
        last[track] = event.timestamp;
    }
    return static_cast<double>(shortest);
}

struct BiasCase {
    const char* bias;
    std::int32_t low;
    std::int32_t high;
    const char* measure;
    std::function<double(const std::vector<Event2D>&)> measured;
    bool grows;  // whether the measure is larger at the high value
};

void PrintTo(const BiasCase& c, std::ostream* out) { *out << c.bias; }

double onEvents(const std::vector<Event2D>& events) {
    return static_cast<double>(countIf(events, [](const Event2D& e) { return e.polarity == 1; }));
}
double offEvents(const std::vector<Event2D>& events) {
    return static_cast<double>(countIf(events, [](const Event2D& e) { return e.polarity == 0; }));
}
double allEvents(const std::vector<Event2D>& events) { return static_cast<double>(events.size()); }

class BiasDirection : public ::testing::TestWithParam<BiasCase> {};

TEST_P(BiasDirection, MovesTheStreamTheSensorsWay) {
    const BiasCase& c = GetParam();
    std::map<std::int32_t, double> measured;
    for (const std::int32_t value : {c.low, c.high}) {
        const auto camera = SimulatedCamera::open("");
        ASSERT_TRUE(camera->tool(ToolType::BIAS)->setParam(c.bias, value));
        measured[value] = c.measured(readSpan(*camera, 200'000).events);
    }
    if (c.grows) {
        EXPECT_GT(measured[c.high], measured[c.low] * 1.1) << c.measure;
    } else {
        EXPECT_LT(measured[c.high] * 1.1, measured[c.low]) << c.measure;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Biases, BiasDirection,
    ::testing::Values(BiasCase{"bias_diff_on", 0, 140, "ON events", onEvents, false},
                      BiasCase{"bias_diff_off", 0, 190, "OFF events", offEvents, false},
                      BiasCase{"bias_fo", -35, 0, "events (noise grows with the bandwidth)", allEvents, true},
                      BiasCase{"bias_hpf", 0, 120, "events", allEvents, false},
                      // Higher bias_refr shortens the refractory period.
                      BiasCase{"bias_refr", -20, 235, "shortest gap in a pixel", shortestGapUs, false}),
    [](const auto& info) { return std::string(info.param.bias); });

TEST(BiasRefr, KeepsEachPixelBlindForItsRefractoryPeriod) {
    const auto camera = SimulatedCamera::open("");
    ASSERT_TRUE(camera->tool(ToolType::BIAS)->setParam("bias_refr", -20));
    // 100 us * 2^(20 / 60)
    EXPECT_GE(shortestGapUs(readSpan(*camera, 100'000).events), 125.0);
}

struct FlickerCase {
    const char* mode;
    bool keeps_lamp;
};

void PrintTo(const FlickerCase& c, std::ostream* out) { *out << c.mode; }

class AntiFlicker : public ::testing::TestWithParam<FlickerCase> {};

TEST_P(AntiFlicker, SeparatesTheLampFromTheMovingBars) {
    const auto plain = SimulatedCamera::open("");
    const auto filtered = SimulatedCamera::open("");
    const auto tool = filtered->tool(ToolType::ANTI_FLICKER);
    ASSERT_TRUE(tool->setParam("mode", GetParam().mode) && tool->setParam("enable", true));
    // Two periods of the lamp to lock on.
    readSpan(*plain, 50'000);
    readSpan(*filtered, 50'000);
    const auto all = readSpan(*plain, 300'000).events;
    const auto kept = readSpan(*filtered, 300'000).events;
    const auto outside = [](const Event2D& e) { return !inLamp(e); };
    const std::size_t lamp_all = countIf(all, inLamp);
    const std::size_t lamp_kept = countIf(kept, inLamp);
    const std::size_t outside_all = countIf(all, outside);
    const std::size_t outside_kept = countIf(kept, outside);
    ASSERT_GT(lamp_all, 10'000u);
    if (GetParam().keeps_lamp) {
        EXPECT_GT(lamp_kept, lamp_all * 99 / 100);
        EXPECT_LT(outside_kept, outside_all / 100);
    } else {
        EXPECT_LT(lamp_kept, lamp_all / 100);
        EXPECT_GT(outside_kept, outside_all * 99 / 100);
    }
}

INSTANTIATE_TEST_SUITE_P(Modes, AntiFlicker,
                         ::testing::Values(FlickerCase{"BAND_STOP", false}, FlickerCase{"BAND_PASS", true}),
                         [](const auto& info) { return std::string(info.param.mode); });

TEST(AntiFlickerBand, MissesALampOutsideTheBand) {
    const auto camera = SimulatedCamera::open("");
    const auto tool = camera->tool(ToolType::ANTI_FLICKER);
    ASSERT_TRUE(tool->setParam("low_frequency", 200) && tool->setParam("high_frequency", 520) &&
                tool->setParam("enable", true));
    readSpan(*camera, 50'000);
    EXPECT_GT(countIf(readSpan(*camera, 100'000).events, inLamp), 20'000u);
}

struct TrailCase {
    sensor::TrailSettings::Type type;
    const char* name;
    std::vector<bool> passes;
};

void PrintTo(const TrailCase& c, std::ostream* out) { *out << c.name; }

class TrailModes : public ::testing::TestWithParam<TrailCase> {};

// One pixel's ON events: a burst of three, an isolated event, a burst of two, then a trail of
// events 6 ms apart that together last longer than the 10 ms threshold. An OFF event of the same
// pixel in between counts on its own.
TEST_P(TrailModes, KeepTheirPartOfEachBurst) {
    const std::vector<std::uint64_t> times{1'000, 1'100, 1'200, 50'000, 100'000, 100'100,
                                           200'000, 206'000, 212'000, 218'000};
    sensor::TrailFilter filter;
    filter.configure({true, GetParam().type, 10'000});
    Event2D off{};
    off.x = 5;
    off.y = 7;
    off.timestamp = 1'050;
    EXPECT_EQ(filter.passes(off), GetParam().type == sensor::TrailSettings::Type::TRAIL);
    std::vector<bool> passes;
    for (const std::uint64_t time : times) {
        Event2D event{};
        event.x = 5;
        event.y = 7;
        event.polarity = 1;
        event.timestamp = time;
        passes.push_back(filter.passes(event));
    }
    EXPECT_EQ(passes, GetParam().passes);
}

using Type = sensor::TrailSettings::Type;
INSTANTIATE_TEST_SUITE_P(
    Types, TrailModes,
    ::testing::Values(
        // Dropped events refresh the pixel's time, so the 6 ms trail is cut as a whole.
        TrailCase{Type::TRAIL, "TRAIL", {true, false, false, true, true, false, true, false, false, false}},
        TrailCase{Type::STC_KEEP_TRAIL, "STC_KEEP_TRAIL", {false, true, true, false, false, true, false, true, true, true}},
        TrailCase{Type::STC_CUT_TRAIL, "STC_CUT_TRAIL", {false, true, false, false, false, true, false, true, false, false}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(RateControlBudget, AddsUpToTheRateEverySecondAtAnyRate) {
    for (const std::uint32_t rate : {10'000u, 123'457u, 1'000'000'000u}) {
        sensor::RateController controller(1);
        controller.configure({true, rate});
        std::uint64_t total = 0;
        std::uint64_t largest = 0;
        for (std::uint64_t period = 5'000; period < 10'000; ++period) {
            total += controller.budget(period);
            largest = std::max(largest, controller.budget(period));
        }
        EXPECT_EQ(total, rate);
        EXPECT_LE(largest, rate / 5'000 + 1);
    }
}

TEST(RateControl, IsSmoothAndSpreadOverEachPeriod) {
    const auto camera = SimulatedCamera::open("");
    const auto erc = camera->tool(ToolType::EVENT_RATE_CONTROL);
    ASSERT_TRUE(erc->setParam("max_event_rate", 100'000) && erc->setParam("enable", true));
    const auto events = readSpan(*camera, 1'000'000).events;
    EXPECT_EQ(events.size(), 100'000u);
    // Every 10 ms window, aligned to the reference periods or not.
    for (std::uint64_t begin = 0; begin + 10'000 <= 1'000'000; begin += 1'300) {
        const auto in_window = countIf(events, [&](const Event2D& e) { return e.timestamp - begin < 10'000; });
        ASSERT_LE(in_window, 1'000u + 20u) << begin;
        ASSERT_GE(in_window, 1'000u - 20u) << begin;
    }
    // Kept events are not the first of their period.
    const auto late = countIf(events, [](const Event2D& e) { return e.timestamp % 200 >= 100; });
    EXPECT_GT(late, events.size() * 4 / 10);
    const auto right = countIf(events, [](const Event2D& e) { return e.x >= 640; });
    EXPECT_GT(right, events.size() * 3 / 10);
}

TEST(RateControl, DropsNothingAtItsLargestRate) {
    const auto plain = SimulatedCamera::open("");
    const auto controlled = SimulatedCamera::open("");
    const auto erc = controlled->tool(ToolType::EVENT_RATE_CONTROL);
    ASSERT_TRUE(erc->setParam("max_event_rate", 1'000'000'000) && erc->setParam("enable", true));
    EXPECT_TRUE(testing_support::sameRecords(readSpan(*controlled, 300'000).events, readSpan(*plain, 300'000).events));
}

TEST(Triggers, AreTheSquareWaveEdgesOnlyWhileEnabled) {
    const auto camera = SimulatedCamera::open("");
    EXPECT_TRUE(readSpan(*camera, 30'000).triggers.empty());
    ASSERT_TRUE(camera->tool(ToolType::TRIGGER_IN)->setParam("enable", true));
    const auto triggers = readSpan(*camera, 30'000).triggers;
    ASSERT_EQ(triggers.size(), 6u);
    for (std::size_t i = 0; i < triggers.size(); ++i) {
        EXPECT_EQ(triggers[i].timestamp, 30'000 + 5'000 * i);
        EXPECT_EQ(triggers[i].value, i % 2 == 0 ? 1 : 0);
        EXPECT_EQ(triggers[i].channel, 0);
        const auto* bytes = reinterpret_cast<const unsigned char*>(&triggers[i]);
        EXPECT_TRUE(std::all_of(bytes + 2, bytes + 8, [](unsigned char b) { return b == 0; }));
    }
}

TEST(ReadSpan, CoversExactlyItsSpanAndRefusesTooLongOnes) {
    const auto camera = SimulatedCamera::open("");
    const auto first = readSpan(*camera, 12'345).events;
    const auto second = readSpan(*camera, 1).events;
    const auto third = readSpan(*camera, 7'000).events;
    ASSERT_FALSE(first.empty());
    EXPECT_LT(first.back().timestamp, 12'345u);
    for (const Event2D& event : second) EXPECT_EQ(event.timestamp, 12'345u);
    EXPECT_GE(third.front().timestamp, 12'346u);
    EXPECT_LT(third.back().timestamp, 19'346u);
    std::vector<Event2D> events;
    std::vector<TriggerEvent> triggers;
    EXPECT_THROW(camera->read(SimulatedCamera::kMaxReadSpanUs + 1, events, triggers), std::invalid_argument);
    EXPECT_TRUE(events.empty());
    EXPECT_GE(readSpan(*camera, 100).events.front().timestamp, 19'346u);
}

// Every tool on, read whole or in a mix of spans and counts: the same events.
TEST(ReadSplits, GiveTheSameEventsWithEveryToolOn) {
    const auto configure = [](SimulatedCamera& camera) {
        ASSERT_TRUE(camera.tool(ToolType::ANTI_FLICKER)->setParam("enable", true));
        ASSERT_TRUE(camera.tool(ToolType::EVENT_TRAIL_FILTER)->setParam("type", "STC_KEEP_TRAIL"));
        ASSERT_TRUE(camera.tool(ToolType::EVENT_TRAIL_FILTER)->setParam("enable", true));
        ASSERT_TRUE(camera.tool(ToolType::EVENT_RATE_CONTROL)->setParam("max_event_rate", 300'000));
        ASSERT_TRUE(camera.tool(ToolType::EVENT_RATE_CONTROL)->setParam("enable", true));
        ASSERT_TRUE(camera.tool(ToolType::BIAS)->setParam("bias_diff_off", 40));
    };
    const auto whole = SimulatedCamera::open("");
    const auto split = SimulatedCamera::open("");
    configure(*whole);
    configure(*split);
    const auto expected = readSpan(*whole, 400'000).events;
    std::vector<Event2D> events;
    std::vector<TriggerEvent> triggers;
    std::vector<Event2D> chunk(1'013);
    while (events.empty() || events.back().timestamp < 400'000) {
        split->read(7'919, events, triggers);
        chunk.resize(split->readEvents(chunk.data(), 1'013));
        events.insert(events.end(), chunk.begin(), chunk.end());
        chunk.resize(1'013);
    }
    events.erase(std::partition_point(events.begin(), events.end(), [](const Event2D& e) { return e.timestamp < 400'000; }),
                 events.end());
    EXPECT_TRUE(testing_support::sameRecords(events, expected));
}

TEST(BadSettings, GiveABoundedStreamAtTheRangeEnds) {
    const auto camera = SimulatedCamera::open("");
    const auto biases = camera->tool(ToolType::BIAS);
    ASSERT_TRUE(biases->setParam("bias_diff_on", 140) && biases->setParam("bias_diff_off", 190) &&
                biases->setParam("bias_hpf", 120) && biases->setParam("bias_fo", -35));
    const auto flicker = camera->tool(ToolType::ANTI_FLICKER);
    ASSERT_TRUE(flicker->setParam("duty_cycle", 0.0f) && flicker->setParam("low_frequency", 520) &&
                flicker->setParam("high_frequency", 50) && flicker->setParam("mode", "BAND_PASS") &&
                flicker->setParam("enable", true));
    // Nothing can pass: the read gives up after its bounded span of sensor time.
    std::vector<Event2D> slots(10);
    EXPECT_EQ(camera->readEvents(slots.data(), slots.size()), 0u);
    EXPECT_TRUE(readSpan(*camera, 100'000).events.empty());
}

}  // namespace
}  // namespace velmo

#include <VelmoCodec/Evt3Decoder.h>
#include <VelmoCodec/Evt3Encoder.h>
#include <VelmoCodec/Evt3StreamScan.h>
#include <VelmoCodec/Evt3Words.h>
#include <VelmoCodec/RawFileHeader.h>

#include <gtest/gtest.h>

#include <map>
#include <optional>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

namespace velmo {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes bytesOf(const std::string& text) { return Bytes(text.begin(), text.end()); }

// What the filter passes on of the stream fed in pieces of the given sizes, in turn.
Bytes filtered(RawHeaderFilter& filter, const Bytes& stream, const std::vector<std::size_t>& cuts) {
    Bytes out;
    std::size_t at = 0;
    for (std::size_t k = 0; at < stream.size(); ++k) {
        const std::size_t size = std::min(cuts[k % cuts.size()], stream.size() - at);
        const RawHeaderFilter::Bytes data = filter.data(stream.data() + at, size);
        out.insert(out.end(), data.data, data.data + data.size);
        at += size;
    }
    return out;
}

const std::string kHeader = "% format EVT3;height=720;width=1280\n% serial  A 1\r\n% date 2026\n% end\n";

// The header is taken whole and nothing of it passed on, however the stream is cut: at every
// byte, and in pieces of odd lengths.
TEST(RawHeaderFilter, SkipsTheHeaderHoweverTheStreamIsCut) {
    const Bytes data = {0x00, 0x80, 0x25, 0x20, 0x0A, 0x25, 0x20};  // looks like a header line only if misread
    Bytes stream = bytesOf(kHeader);
    stream.insert(stream.end(), data.begin(), data.end());
    for (const std::vector<std::size_t>& cuts :
         {std::vector<std::size_t>{1}, {2}, {3}, {7, 1, 13}, {kHeader.size() - 1, 1}, {kHeader.size()}, {1000}}) {
        RawHeaderFilter filter;
        EXPECT_EQ(filtered(filter, stream, cuts), data) << "first piece " << cuts[0];
        ASSERT_TRUE(filter.decided());
        EXPECT_EQ(filter.headerBytes(), kHeader.size());
        ASSERT_TRUE(filter.header());
        EXPECT_EQ(filter.header()->field("format"), "EVT3;height=720;width=1280");
        EXPECT_EQ(filter.header()->field("serial"), " A 1");
        EXPECT_EQ(filter.header()->field("missing"), std::nullopt);
    }
}

TEST(RawHeaderFilter, PassesAStreamWithoutOneWhole) {
    for (const Bytes& stream : {Bytes{0x00, 0x80, 0x01, 0x60}, Bytes{'%', 0x80, 0x01, 0x60}, Bytes{'%'}}) {
        for (const std::size_t cut : {1, 2, 4}) {
            RawHeaderFilter filter;
            const Bytes out = filtered(filter, stream, {cut});
            EXPECT_EQ(out.size() + (filter.decided() ? 0 : 1), stream.size());
            EXPECT_FALSE(filter.header());
        }
    }
}

// A header without its "% end" line ends before the first line that is not one of its own.
TEST(RawHeaderFilter, EndsAHeaderWithoutAnEndLineAtTheFirstOtherLine) {
    const Bytes stream = bytesOf("% format EVT3\n%\x80\x01\x60");
    for (const std::size_t cut : {1, 15, 100}) {
        RawHeaderFilter filter;
        EXPECT_EQ(filtered(filter, stream, {cut}), bytesOf("%\x80\x01\x60"));
        EXPECT_EQ(filter.headerBytes(), 14u);
        ASSERT_TRUE(filter.header());
    }
}

TEST(RawHeaderFilter, AHeaderAloneGivesNoData) {
    RawHeaderFilter filter;
    EXPECT_TRUE(filtered(filter, bytesOf(kHeader.substr(0, 20)), {3}).empty());
    EXPECT_FALSE(filter.decided());
    EXPECT_TRUE(filtered(filter, bytesOf(kHeader.substr(20)), {3}).empty());
    EXPECT_TRUE(filter.decided());
}

TEST(RawHeaderFilter, RefusesAHeaderThatNeverEnds) {
    RawHeaderFilter filter;
    const Bytes stream = bytesOf("% " + std::string(RawHeaderFilter::kMaxHeaderBytes, 'x'));
    EXPECT_THROW(filtered(filter, stream, {4096}), std::invalid_argument);
}

struct FormatCase {
    const char* header;  // the format line's value, or nullptr for none
    const char* given;   // or nullptr for none
    const char* merged;  // or nullptr when refused
};

class FormatOfStream : public ::testing::TestWithParam<FormatCase> {};

TEST_P(FormatOfStream, MergesTheHeaderAndTheGivenFormatOrRefuses) {
    const FormatCase& c = GetParam();
    std::optional<RawFileHeader> header;
    if (c.header) header = RawFileHeader{{{"format", c.header}}};
    std::optional<velmo::RawFormat> given;
    if (c.given) given.emplace(c.given);
    if (c.merged) {
        EXPECT_EQ(rawFormatOf(header, given), c.merged);
    } else {
        EXPECT_THROW(rawFormatOf(header, given), std::invalid_argument);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FormatOfStream,
    ::testing::Values(FormatCase{"EVT3;height=720;width=1280", nullptr, "EVT3;height=720;width=1280"},
                      FormatCase{nullptr, "EVT3;width=640", "EVT3;width=640"},
                      FormatCase{"EVT3;height=720", "EVT3;width=1280", "EVT3;height=720;width=1280"},
                      FormatCase{"EVT3;height=720;width=1280", "EVT3;height=720;width=1280", "EVT3;height=720;width=1280"},
                      FormatCase{"EVT3;height=720;width=1280", "EVT3;height=480", nullptr},
                      FormatCase{"EVT2;height=720", "EVT3", nullptr}, FormatCase{"EVT3;width=x", nullptr, nullptr},
                      FormatCase{nullptr, nullptr, nullptr},
                      FormatCase{nullptr, "EVT3;width=640;bits=8;height=4", "EVT3;height=4;width=640"}));

// Another format object is read through its options: only the sensor's, checked as text is.
TEST(RawFormat, OfAnotherFormatTakesTheSensorOptionsOnlyAndChecksThem) {
    const auto options = [](std::map<std::string, std::string> values) {
        return [values](const std::string& name) {
            const auto found = values.find(name);
            return found == values.end() ? std::nullopt : std::optional<std::string>(found->second);
        };
    };
    const RawFormat format = RawFormat::of("EVT3", options({{"width", "640"}, {"bits", "8"}}));
    EXPECT_EQ(format.text(), "EVT3;width=640");
    EXPECT_EQ(format.width(), 640);
    EXPECT_FALSE(format.contains("bits"));
    EXPECT_EQ(RawFormat::of("EVT2", options({})).text(), "EVT2");
    EXPECT_THROW(RawFormat::of("EVT3", options({{"height", "0"}})), std::invalid_argument);
}

// The window is judged on whole words at even offsets of the stream, however it is cut.
TEST(Evt3StartCheck, RefusesAWindowWithoutATimeHighAndPassesOneWithIt) {
    Bytes skipped(Evt3StartCheck::kWindowBytes, 0x10);  // words 0x1010: a type decoders skip
    for (const std::size_t cut : {std::size_t{4096}, std::size_t{999}, skipped.size()}) {
        Evt3StartCheck check;
        EXPECT_THROW(
            {
                for (std::size_t at = 0; at < skipped.size(); at += cut)
                    check.check(skipped.data() + at, std::min(cut, skipped.size() - at));
            },
            std::invalid_argument);
        EXPECT_THROW(check.check(skipped.data(), 2), std::invalid_argument);
    }
    Bytes timed = skipped;
    timed[timed.size() - 1] = 0x80;  // the window's last word is a TIME_HIGH
    Evt3StartCheck check;
    for (std::size_t at = 0; at < timed.size(); at += 777) check.check(timed.data() + at, std::min<std::size_t>(777, timed.size() - at));
    check.check(skipped.data(), skipped.size());
    // A TIME_HIGH's type in a low byte (an odd shift of the words) is no TIME_HIGH.
    Bytes shifted = skipped;
    shifted[10] = 0x80;
    EXPECT_THROW(Evt3StartCheck().check(shifted.data(), shifted.size()), std::invalid_argument);
    Evt3StartCheck().check(skipped.data(), skipped.size() - 2);
}

// The tracker's state is the decoder's at every chunk boundary of any bytes, time wraps and
// vectors included.
TEST(Evt3StateTracker, FollowsTheDecodersStateOnAnyBytes) {
    std::mt19937 random(7);
    for (int round = 0; round < 20; ++round) {
        Bytes bytes(20000 + round);
        for (std::uint8_t& byte : bytes) byte = static_cast<std::uint8_t>(random());
        Evt3Decoder decoder;
        Evt3StateTracker tracker;
        std::size_t at = 0;
        while (at < bytes.size()) {
            const std::size_t size = std::min<std::size_t>(bytes.size() - at, 2 * (random() % 300));
            const Evt3Capacity capacity = decoder.capacityFor(bytes.data() + at, size);
            std::vector<Event2D> events(capacity.events);
            std::vector<TriggerEvent> triggers(capacity.triggers + 1);
            decoder.decode(bytes.data() + at, size, events.data(), triggers.data());
            tracker.follow(bytes.data() + at, size);
            at += size;
            ASSERT_EQ(tracker.state(), decoder.streamState()) << "round " << round << " at " << at;
        }
        EXPECT_EQ(tracker.offset(), bytes.size());
    }
}

// Of an event out of order and one outside the sensor, the first is named; an event out of
// order is named as such, not as one after the span that its successor ends too early.
TEST(Evt3EncoderSensor, NamesTheFirstEventOutOfOrderOrOutsideTheSensor) {
    std::vector<Event2D> events(4);
    for (std::size_t i = 0; i < events.size(); ++i) events[i].timestamp = 10 * i;
    Evt3Encoder encoder;
    encoder.setSensor(1280, 720);
    std::vector<std::uint8_t> out;
    events[3].timestamp = 5;
    events[2].y = 720;
    for (const char* expected : {"event 2 cannot be encoded: (0, 720) lies outside the 1280x720 sensor",
                                 "event 3 cannot be encoded: its time stamp 5 comes before 20"}) {
        try {
            encoder.encode(events.data(), events.size(), nullptr, 0, 5, out);
            ADD_FAILURE() << "accepted";
        } catch (const std::invalid_argument& error) {
            EXPECT_STREQ(error.what(), expected);
        }
        EXPECT_TRUE(out.empty());
        events[2].y = 719;
    }
    events[3].timestamp = 30;
    std::vector<std::uint8_t> into(encoder.maxBytes(events.size(), 0, 30));
    into.resize(encoder.encodeInto(events.data(), events.size(), nullptr, 0, 30, into.data()));
    Evt3Encoder plain;
    plain.encode(events.data(), events.size(), nullptr, 0, 30, out);
    EXPECT_EQ(into, out);
}

}  // namespace
}  // namespace velmo

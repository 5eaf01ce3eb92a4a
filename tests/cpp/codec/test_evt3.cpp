#include "TestSupport.h"

#include <VelmoCodec/Evt3Decoder.h>
#include <VelmoCodec/Evt3Encoder.h>
#include <VelmoCodec/Evt3Words.h>
#include <VelmoSim/SimulatedCamera.h>

#include <initializer_list>
#include <ostream>
#include <random>
#include <tuple>
#include <vector>

namespace velmo {
namespace {

using evt3::WordType;
using evt3::word;

using EventFields = std::tuple<unsigned, unsigned, unsigned, std::uint64_t>;  // x, y, polarity, t
using TriggerFields = std::tuple<unsigned, unsigned, std::uint64_t>;          // value, channel, t

struct Decoded {
    std::vector<Event2D> events;
    std::vector<TriggerEvent> triggers;
};

std::vector<std::uint8_t> bytesOf(std::initializer_list<std::uint16_t> words) {
    std::vector<std::uint8_t> bytes;
    for (const std::uint16_t w : words) {
        bytes.push_back(static_cast<std::uint8_t>(w & 0xFF));
        bytes.push_back(static_cast<std::uint8_t>(w >> 8));
    }
    return bytes;
}

void decodeInto(Evt3Decoder& decoder, const std::uint8_t* data, std::size_t size, Decoded& into) {
    const Evt3Capacity capacity = decoder.capacityFor(data, size);
    std::vector<Event2D> events(capacity.events);
    std::vector<TriggerEvent> triggers(capacity.triggers);
    const Evt3Decoded got = decoder.decode(data, size, events.data(), triggers.data());
    into.events.insert(into.events.end(), events.begin(), events.begin() + static_cast<std::ptrdiff_t>(got.events));
    into.triggers.insert(into.triggers.end(), triggers.begin(),
                         triggers.begin() + static_cast<std::ptrdiff_t>(got.triggers));
}

Decoded decodeAll(Evt3Decoder& decoder, const std::vector<std::uint8_t>& bytes) {
    Decoded decoded;
    decodeInto(decoder, bytes.data(), bytes.size(), decoded);
    return decoded;
}

std::vector<EventFields> fieldsOf(const std::vector<Event2D>& events) {
    std::vector<EventFields> fields;
    for (const Event2D& e : events) fields.emplace_back(e.x, e.y, e.polarity, e.timestamp);
    return fields;
}

std::vector<TriggerFields> fieldsOf(const std::vector<TriggerEvent>& triggers) {
    std::vector<TriggerFields> fields;
    for (const TriggerEvent& t : triggers) fields.emplace_back(t.value, t.channel, t.timestamp);
    return fields;
}

Event2D eventAt(unsigned x, unsigned y, unsigned polarity, std::uint64_t t) {
    Event2D event{};
    event.x = static_cast<std::uint16_t>(x);
    event.y = static_cast<std::uint16_t>(y);
    event.polarity = static_cast<std::uint8_t>(polarity);
    event.timestamp = t;
    return event;
}

TriggerEvent edgeAt(unsigned value, unsigned channel, std::uint64_t t) {
    TriggerEvent edge{};
    edge.value = static_cast<std::uint8_t>(value);
    edge.channel = static_cast<std::uint8_t>(channel);
    edge.timestamp = t;
    return edge;
}

std::uint16_t typedWord(unsigned type, unsigned payload) {
    return static_cast<std::uint16_t>(type << evt3::kTypeShift | payload);
}

// One crafted stream per word type: what a 1280 x 720 decoder makes of it.
struct CraftedStream {
    const char* name;
    std::vector<std::uint8_t> bytes;
    std::vector<EventFields> events;
    std::vector<TriggerFields> triggers;
    Evt3DecodeCounters counters;
};

Evt3DecodeCounters countersOf(std::uint64_t skipped, std::uint64_t untimed, std::uint64_t outside,
                              std::uint64_t wraps) {
    return Evt3DecodeCounters{skipped, untimed, outside, wraps};
}

const std::uint16_t kHigh1 = word(WordType::TimeHigh, 1);
const std::uint16_t kLow5 = word(WordType::TimeLow, 5);
constexpr std::uint64_t kT = (1u << 12) | 5;
constexpr std::uint16_t kOn = 1u << 11;

std::vector<CraftedStream> craftedStreams() {
    return {
        {"AddrXAtTheRowSet",
         bytesOf({kHigh1, kLow5, word(WordType::AddrY, 719), word(WordType::AddrX, kOn | 1279),
                  word(WordType::AddrX, 0)}),
         {{1279, 719, 1, kT}, {0, 719, 0, kT}},
         {},
         countersOf(0, 0, 0, 0)},
        {"StartWithoutTimeHighDropsUntilIt",
         bytesOf({word(WordType::TimeLow, 7), word(WordType::AddrY, 3), word(WordType::AddrX, 4),
                  word(WordType::ExtTrigger, 1), word(WordType::VectBaseX, 0), word(WordType::Vect12, 0b101),
                  word(WordType::TimeHigh, 2), word(WordType::AddrX, 9)}),
         {{9, 3, 0, (2u << 12) | 7}},
         {},
         countersOf(0, 4, 0, 0)},
        {"Vect12AtTheRowStartAndVect8AtItsEnd",
         bytesOf({kHigh1, kLow5, word(WordType::AddrY, 0), word(WordType::VectBaseX, kOn | 0),
                  word(WordType::Vect12, 0x801), word(WordType::Vect8, 0x81), word(WordType::VectBaseX, 1272),
                  word(WordType::Vect8, 0xFF)}),
         {{0, 0, 1, kT}, {11, 0, 1, kT}, {12, 0, 1, kT}, {19, 0, 1, kT}, {1272, 0, 0, kT}, {1273, 0, 0, kT},
          {1274, 0, 0, kT}, {1275, 0, 0, kT}, {1276, 0, 0, kT}, {1277, 0, 0, kT}, {1278, 0, 0, kT},
          {1279, 0, 0, kT}},
         {},
         countersOf(0, 0, 0, 0)},
        {"VectorColumnsPastTheSensorAreDropped",
         bytesOf({kHigh1, kLow5, word(WordType::AddrY, 2), word(WordType::VectBaseX, 1276),
                  word(WordType::Vect12, 0xFFF)}),
         {{1276, 2, 0, kT}, {1277, 2, 0, kT}, {1278, 2, 0, kT}, {1279, 2, 0, kT}},
         {},
         countersOf(0, 0, 8, 0)},
        {"RowsAndColumnsPastTheSensorAreDropped",
         bytesOf({kHigh1, kLow5, word(WordType::AddrY, 720), word(WordType::AddrX, 5), word(WordType::AddrY, 5),
                  word(WordType::AddrX, 1280), word(WordType::AddrX, 2047)}),
         {},
         {},
         countersOf(0, 0, 3, 0)},
        {"TimeHighBelowThePreviousIsAWrap",
         bytesOf({word(WordType::TimeHigh, 0xFFF), word(WordType::TimeLow, 0xFFF), word(WordType::AddrX, 1),
                  word(WordType::TimeHigh, 0), word(WordType::AddrX, 2), word(WordType::TimeLow, 1),
                  word(WordType::AddrX, 3), word(WordType::TimeHigh, 0), word(WordType::AddrX, 4)}),
         {{1, 0, 0, 0xFFFFFF}, {2, 0, 0, (1u << 24) | 0xFFF}, {3, 0, 0, (1u << 24) | 1}, {4, 0, 0, (1u << 24) | 1}},
         {},
         countersOf(0, 0, 0, 1)},
        {"ExtTriggerTakesChannelAndEdge",
         bytesOf({kHigh1, kLow5, word(WordType::ExtTrigger, (3 << 8) | 1), word(WordType::TimeLow, 6),
                  word(WordType::ExtTrigger, (15 << 8) | 0xFE)}),
         {},
         {{1, 3, kT}, {0, 15, kT + 1}},
         countersOf(0, 0, 0, 0)},
        {"ExtraDataIsSkippedAndPaddingCounted",
         bytesOf({kHigh1, kLow5, word(WordType::AddrY, 8), typedWord(0x7, 0xFFF), typedWord(0xE, 0x123),
                  typedWord(0xF, 0x0), typedWord(0x1, 0x2), typedWord(0x9, 0), typedWord(0xB, 0xFFF),
                  typedWord(0xC, 1), typedWord(0xD, 5), word(WordType::AddrX, 6)}),
         {{6, 8, 0, kT}},
         {},
         countersOf(5, 0, 0, 0)},
    };
}

class Crafted : public ::testing::TestWithParam<CraftedStream> {};

TEST_P(Crafted, DecodesAsTheTableSays) {
    const CraftedStream& stream = GetParam();
    Evt3Decoder decoder(1280, 720);
    const Decoded decoded = decodeAll(decoder, stream.bytes);
    EXPECT_EQ(fieldsOf(decoded.events), stream.events);
    EXPECT_EQ(fieldsOf(decoded.triggers), stream.triggers);
    const Evt3DecodeCounters& counters = decoder.counters();
    EXPECT_EQ(counters.skipped_words, stream.counters.skipped_words);
    EXPECT_EQ(counters.untimed_dropped, stream.counters.untimed_dropped);
    EXPECT_EQ(counters.outside_dropped, stream.counters.outside_dropped);
    EXPECT_EQ(counters.time_wraps, stream.counters.time_wraps);
}

INSTANTIATE_TEST_SUITE_P(WordTypes, Crafted, ::testing::ValuesIn(craftedStreams()),
                         [](const auto& info) { return std::string(info.param.name); });

// The decoder takes [TIME_LOW] [ADDR_Y] ADDR_X groups whole where four words are at hand, and
// word by word otherwise: fed one word per call it never takes a group, so both ways must agree
// on streams where the groups come in every shape (no row, no time, rows with the system bit,
// rows and columns outside, before the first TIME_HIGH, broken by other words).
TEST(Evt3Decoder, GroupsOfWordsDecodeAsWordByWord) {
    std::mt19937 random(15);
    const std::vector<unsigned> types{0x0, 0x0, 0x2, 0x2, 0x2, 0x6, 0x6, 0x8, 0x3, 0x4, 0x5, 0xA, 0x1, 0x7};
    for (int stream = 0; stream < 20; ++stream) {
        std::vector<std::uint8_t> bytes;
        for (int i = 0; i < 2000; ++i) {
            const unsigned type = types[random() % types.size()];
            // Mostly rows and columns inside a 1280 x 720 sensor, some beyond, bit 11 random.
            const unsigned payload = random() % 8 == 0 ? random() & 0xFFF : (random() & 0x800) | random() % 720;
            const std::uint16_t w = typedWord(type, payload);
            bytes.push_back(static_cast<std::uint8_t>(w & 0xFF));
            bytes.push_back(static_cast<std::uint8_t>(w >> 8));
        }
        Evt3Decoder whole(1280, 720);
        const Decoded at_once = decodeAll(whole, bytes);
        Evt3Decoder word_by_word(1280, 720);
        Decoded by_word;
        for (std::size_t at = 0; at < bytes.size(); at += 2) decodeInto(word_by_word, bytes.data() + at, 2, by_word);
        EXPECT_EQ(fieldsOf(at_once.events), fieldsOf(by_word.events));
        EXPECT_EQ(fieldsOf(at_once.triggers), fieldsOf(by_word.triggers));
        EXPECT_EQ(whole.counters().untimed_dropped, word_by_word.counters().untimed_dropped);
        EXPECT_EQ(whole.counters().outside_dropped, word_by_word.counters().outside_dropped);
        EXPECT_EQ(whole.counters().time_wraps, word_by_word.counters().time_wraps);
        EXPECT_GT(at_once.events.size(), 100u);
        // Appending, in blocks and into outputs that grow, decodes to the same, an odd byte
        // carried over from call to call.
        Evt3Decoder appending(1280, 720);
        RecordBuffer<Event2D> events;
        RecordBuffer<TriggerEvent> triggers;
        appending.decodeAppending(bytes.data(), 1001, events, triggers);
        appending.decodeAppending(bytes.data() + 1001, bytes.size() - 1001, events, triggers);
        EXPECT_EQ(fieldsOf(std::vector<Event2D>(events.data(), events.data() + events.size())),
                  fieldsOf(at_once.events));
        EXPECT_EQ(fieldsOf(std::vector<TriggerEvent>(triggers.data(), triggers.data() + triggers.size())),
                  fieldsOf(at_once.triggers));
    }
}

TEST(Evt3Decoder, TakesItsSizeFromTheFormatAndRefusesOtherEncodings) {
    Evt3Decoder decoder = Evt3Decoder::forFormat(RawFormat("EVT3;width=4"));
    const auto bytes = bytesOf({kHigh1, word(WordType::AddrY, 2000), word(WordType::AddrX, 3),
                                word(WordType::AddrX, 4)});
    EXPECT_EQ(fieldsOf(decodeAll(decoder, bytes).events), (std::vector<EventFields>{{3, 2000, 0, 1u << 12}}));
    EXPECT_EQ(decoder.counters().outside_dropped, 1u);
    EXPECT_THROW(Evt3Decoder::forFormat(RawFormat("EVT2;width=4")), std::invalid_argument);
}

TEST(Evt3Decoder, ResetForgetsTimeKeptByteAndCounters) {
    Evt3Decoder decoder;
    auto bytes = bytesOf({kHigh1, typedWord(0x1, 0), word(WordType::AddrX, 1)});
    bytes.push_back(0x42);
    decodeAll(decoder, bytes);
    decoder.reset();
    EXPECT_EQ(decodeAll(decoder, bytesOf({word(WordType::AddrX, 1)})).events.size(), 0u);
    EXPECT_EQ(decoder.counters().skipped_words, 0u);
    EXPECT_EQ(decoder.counters().untimed_dropped, 1u);
}

// The stream encoded span by span: one stream, or with chunks asked for, each span a stream of
// its own.
std::vector<std::uint8_t> encodeInSpans(const std::vector<Event2D>& events, const std::vector<TriggerEvent>& triggers,
                                        std::uint64_t span_us, std::uint64_t end_us,
                                        std::vector<std::vector<std::uint8_t>>* chunks = nullptr) {
    Evt3Encoder encoder;
    std::vector<std::uint8_t> all;
    std::size_t e = 0;
    std::size_t t = 0;
    for (std::uint64_t start = 0; start < end_us; start += span_us) {
        const std::uint64_t stop = std::min(end_us, start + span_us);
        std::size_t e_end = e;
        while (e_end < events.size() && events[e_end].timestamp < stop) ++e_end;
        std::size_t t_end = t;
        while (t_end < triggers.size() && triggers[t_end].timestamp < stop) ++t_end;
        std::vector<std::uint8_t> chunk;
        if (chunks) encoder.startChunk();
        encoder.encode(events.data() + e, e_end - e, triggers.data() + t, t_end - t, stop, chunk);
        all.insert(all.end(), chunk.begin(), chunk.end());
        if (chunks) chunks->push_back(std::move(chunk));
        e = e_end;
        t = t_end;
    }
    return all;
}

std::vector<Event2D> cameraEvents(std::size_t n) {
    auto camera = SimulatedCamera::open("");
    std::vector<Event2D> events(n);
    events.resize(camera->readEvents(events.data(), n));
    return events;
}

TEST(Evt3RoundTrip, CameraStreamInChunksDecodesWholeAndEachChunkOnItsOwn) {
    const std::vector<Event2D> events = cameraEvents(200'000);
    std::vector<TriggerEvent> triggers;
    for (std::uint64_t t = 0; t < events.back().timestamp; t += 977) triggers.push_back(edgeAt(t / 977 % 2, 2, t));
    const std::uint64_t end = events.back().timestamp + 1;
    for (const std::uint64_t span : {end, std::uint64_t{1000}, std::uint64_t{3}}) {
        std::vector<std::vector<std::uint8_t>> chunks;
        encodeInSpans(events, triggers, span, end, &chunks);
        const auto bytes = encodeInSpans(events, triggers, span, end);
        Evt3Decoder decoder(1280, 720);
        const Decoded decoded = decodeAll(decoder, bytes);
        EXPECT_EQ(fieldsOf(decoded.events), fieldsOf(events)) << "spans of " << span << " us";
        EXPECT_EQ(fieldsOf(decoded.triggers), fieldsOf(triggers)) << "spans of " << span << " us";
        Decoded chunk_by_chunk;
        for (const auto& chunk : chunks) {
            Evt3Decoder fresh(1280, 720);
            decodeInto(fresh, chunk.data(), chunk.size(), chunk_by_chunk);
            EXPECT_EQ(fresh.counters().untimed_dropped, 0u);
        }
        EXPECT_EQ(fieldsOf(chunk_by_chunk.events), fieldsOf(events)) << "spans of " << span << " us";
    }
}

TEST(Evt3RoundTrip, DenseRowsGoOutAsVectorsAtBothRowEnds) {
    std::vector<Event2D> events;
    for (std::uint64_t t = 0; t < 40; ++t) {
        const unsigned y = t % 2 == 0 ? 0 : 719;
        const unsigned polarity = t % 3 == 0;
        for (unsigned x = 0; x < 1280; x += 1 + (t % 4 == 3 ? x % 5 : 0)) events.push_back(eventAt(x, y, polarity, t));
    }
    const auto bytes = encodeInSpans(events, {}, 1000, 1000);
    EXPECT_LT(static_cast<double>(bytes.size()) / static_cast<double>(events.size()), 0.25);
    Evt3Decoder decoder(1280, 720);
    EXPECT_EQ(fieldsOf(decodeAll(decoder, bytes).events), fieldsOf(events));
}

TEST(Evt3RoundTrip, LongSilencesKeepTheWrapsCounted) {
    const std::vector<Event2D> events{eventAt(1, 1, 0, 5), eventAt(2, 2, 1, (3ull << 24) + 7),
                                      eventAt(3, 3, 0, (3ull << 24) + 8), eventAt(4, 4, 1, (40ull << 24) + 9)};
    const std::vector<TriggerEvent> triggers{edgeAt(1, 0, (7ull << 24) + 1)};
    for (const std::uint64_t span : {std::uint64_t{1} << 20, std::uint64_t{5} << 24}) {
        const auto bytes = encodeInSpans(events, triggers, span, 41ull << 24);
        Evt3Decoder decoder;
        const Decoded decoded = decodeAll(decoder, bytes);
        EXPECT_EQ(fieldsOf(decoded.events), fieldsOf(events));
        EXPECT_EQ(fieldsOf(decoded.triggers), fieldsOf(triggers));
        EXPECT_EQ(decoder.counters().time_wraps, 41u);  // time is kept up to the last span's end
        std::vector<std::vector<std::uint8_t>> chunks;
        encodeInSpans(events, triggers, span, 41ull << 24, &chunks);
        Decoded chunk_by_chunk;
        for (const auto& chunk : chunks) {
            Evt3Decoder fresh;
            decodeInto(fresh, chunk.data(), chunk.size(), chunk_by_chunk);
        }
        EXPECT_EQ(fieldsOf(chunk_by_chunk.events), fieldsOf(events));
        EXPECT_EQ(fieldsOf(chunk_by_chunk.triggers), fieldsOf(triggers));
    }
}

struct TimeHighStep {
    std::uint64_t before;
    bool timed;
    std::uint32_t high;
    std::uint64_t after;
};

// GoogleTest would print the step's bytes, padding included, for the test's description.
void PrintTo(const TimeHighStep& step, std::ostream* out) {
    *out << step.before << (step.timed ? ", timed" : ", untimed") << ", TIME_HIGH " << step.high;
}

class TimeAfterTimeHigh : public ::testing::TestWithParam<TimeHighStep> {};

TEST_P(TimeAfterTimeHigh, KeepsTheLowHalfAndCountsAWrapWhenTheHighHalfGoesBack) {
    const TimeHighStep& step = GetParam();
    EXPECT_EQ(evt3::timeAfterTimeHigh(step.before, step.timed, step.high), step.after);
}

constexpr std::uint64_t kWrap = evt3::kTimeWrapUs;
INSTANTIATE_TEST_SUITE_P(
    Steps, TimeAfterTimeHigh,
    ::testing::Values(TimeHighStep{0, false, 5, 5 << 12},                          // the first one
                      TimeHighStep{0x3'07B, true, 4, 0x4'07B},                     // forward, low half kept
                      TimeHighStep{0xFFF'123, true, 0x001, kWrap + 0x1'123},       // back: a wrap
                      TimeHighStep{0xFFF'000, false, 0x001, 0x1'000},              // untimed: no wrap
                      TimeHighStep{2 * kWrap + 0x800'000, true, 0x800, 2 * kWrap + 0x800'000},  // same
                      TimeHighStep{3 * kWrap + 0x900'000, true, 0x100, 4 * kWrap + 0x100'000}));

TEST(Evt3Encoder, WritesTimeAndRowOnlyWhenTheyChange) {
    Evt3Encoder encoder;
    std::vector<std::uint8_t> bytes;
    const std::vector<Event2D> events{eventAt(1, 7, 1, 5), eventAt(30, 7, 0, 5), eventAt(2, 7, 1, 6)};
    encoder.encode(events.data(), events.size(), nullptr, 0, 6, bytes);
    EXPECT_EQ(bytes, bytesOf({word(WordType::TimeHigh, 0), word(WordType::TimeLow, 5), word(WordType::AddrY, 7),
                              word(WordType::AddrX, kOn | 1), word(WordType::AddrX, 30),
                              word(WordType::TimeLow, 6), word(WordType::AddrX, kOn | 2)}));
}

TEST(Evt3Encoder, RefusesWhatTheStreamCannotCarryAndWritesNothing) {
    struct Case {
        std::vector<Event2D> events;
        std::vector<TriggerEvent> triggers;
        std::uint64_t span_end;
    };
    const std::vector<Case> cases{
        {{eventAt(1, 1, 0, 9), eventAt(1, 1, 0, 8)}, {}, 10},
        {{eventAt(1, 1, 0, 11)}, {}, 10},
        {{eventAt(2048, 1, 0, 1)}, {}, 10},
        {{eventAt(1, 2048, 0, 1)}, {}, 10},
        {{eventAt(1, 1, 2, 1)}, {}, 10},
        {{}, {edgeAt(2, 0, 1)}, 10},
        {{}, {edgeAt(1, 16, 1)}, 10},
        {{}, {edgeAt(1, 1, 3)}, 2},
    };
    for (const Case& c : cases) {
        Evt3Encoder encoder;
        std::vector<std::uint8_t> bytes{0xAB};
        EXPECT_THROW(encoder.encode(c.events.data(), c.events.size(), c.triggers.data(), c.triggers.size(),
                                    c.span_end, bytes),
                     std::invalid_argument);
        EXPECT_EQ(bytes, std::vector<std::uint8_t>{0xAB});
    }
    Evt3Encoder encoder;
    std::vector<std::uint8_t> bytes;
    encoder.encode(nullptr, 0, nullptr, 0, 100, bytes);
    const Event2D before_the_span_end = eventAt(1, 1, 0, 99);
    EXPECT_THROW(encoder.encode(&before_the_span_end, 1, nullptr, 0, 200, bytes), std::invalid_argument);
}

}  // namespace
}  // namespace velmo

// libFuzzer target for the EVT3 decoder (scripts/fuzz.sh builds and runs it).
//
// The first input byte chooses where the rest is cut in two; the rest is decoded once whole
// and once in the two pieces by decoders of a 1280 x 720 sensor. Output buffers are exactly as
// large as capacityFor says, so the sanitizers see any write past them. Any difference between
// the two decodings, a record outside the sensor or more records than the words carry stops
// the run.
#include <VelmoCodec/Evt3Decoder.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

constexpr std::uint32_t kWidth = 1280;
constexpr std::uint32_t kHeight = 720;
constexpr std::size_t kMaxEventsPerWord = 12;

struct Decoded {
    std::vector<velmo::Event2D> events;
    std::vector<velmo::TriggerEvent> triggers;
};

void require(bool condition) {
    if (!condition) std::abort();
}

void decodeInto(velmo::Evt3Decoder& decoder, const std::uint8_t* data, std::size_t size, Decoded& into) {
    const velmo::Evt3Capacity capacity = decoder.capacityFor(data, size);
    require(capacity.events <= kMaxEventsPerWord * (size / 2 + 2));
    std::vector<velmo::Event2D> events(capacity.events);
    std::vector<velmo::TriggerEvent> triggers(capacity.triggers);
    const velmo::Evt3Decoded got = decoder.decode(data, size, events.data(), triggers.data());
    require(got.events <= capacity.events && got.triggers <= capacity.triggers);
    into.events.insert(into.events.end(), events.begin(), events.begin() + static_cast<std::ptrdiff_t>(got.events));
    into.triggers.insert(into.triggers.end(), triggers.begin(),
                         triggers.begin() + static_cast<std::ptrdiff_t>(got.triggers));
}

template <typename Record>
bool sameBytes(const std::vector<Record>& a, const std::vector<Record>& b) {
    return a.size() == b.size() && (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(Record)) == 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const std::size_t cut = std::min<std::size_t>(data[0] * 7u, size - 1);
    ++data;
    --size;

    velmo::Evt3Decoder whole(kWidth, kHeight);
    Decoded once;
    decodeInto(whole, data, size, once);

    velmo::Evt3Decoder pieces(kWidth, kHeight);
    Decoded twice;
    decodeInto(pieces, data, cut, twice);
    decodeInto(pieces, data + cut, size - cut, twice);

    require(sameBytes(once.events, twice.events) && sameBytes(once.triggers, twice.triggers));
    const velmo::Evt3DecodeCounters& a = whole.counters();
    const velmo::Evt3DecodeCounters& b = pieces.counters();
    require(a.skipped_words == b.skipped_words && a.untimed_dropped == b.untimed_dropped &&
            a.outside_dropped == b.outside_dropped && a.time_wraps == b.time_wraps);
    for (const velmo::Event2D& event : once.events) {
        require(event.x < kWidth && event.y < kHeight && event.polarity <= 1);
        const auto* bytes = reinterpret_cast<const unsigned char*>(&event);
        require(bytes[5] == 0 && bytes[6] == 0 && bytes[7] == 0);
    }
    for (const velmo::TriggerEvent& edge : once.triggers) require(edge.value <= 1 && edge.channel <= 15);
    return 0;
}

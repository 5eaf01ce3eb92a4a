#pragma once

#include <VelmoCodec/Evt3Decoder.h>

#include <cstddef>
#include <cstdint>

namespace velmo {

// Follows the words of an EVT3 stream that set a decoder's state (time, row, vector base),
// chunk after chunk, as Evt3Decoder does but without decoding a record: at every word boundary
// state() is what Evt3Decoder::streamState() would be there. A chunk may end in the middle of a
// word. Not thread-safe.
class Evt3StateTracker {
public:
    // Follows the bytes; after each word that sets the time, onTime(offset, state) is called
    // with the stream offset just past that word and the state there.
    template <typename OnTime>
    void follow(const std::uint8_t* data, std::size_t size, OnTime&& onTime);
    void follow(const std::uint8_t* data, std::size_t size) {
        follow(data, size, [](std::uint64_t, const Evt3StreamState&) {});
    }

    const Evt3StreamState& state() const { return state_; }
    // Bytes followed so far.
    std::uint64_t offset() const { return offset_; }

private:
    // Whether the word set the time.
    bool apply(std::uint16_t word);

    Evt3StreamState state_;
    std::uint64_t offset_ = 0;
    bool has_kept_byte_ = false;
    std::uint8_t kept_byte_ = 0;
};

// Refuses a stream that is not EVT3 in any plausible way: one whose first kWindowBytes hold no
// TIME_HIGH, so that every word in them was either skipped or dropped as untimed. A shorter
// stream cannot be judged and passes. Not thread-safe.
class Evt3StartCheck {
public:
    static constexpr std::uint64_t kWindowBytes = std::uint64_t{1} << 20;

    // Looks at the stream's next bytes before they are decoded. Throws std::invalid_argument
    // once the window has passed without a TIME_HIGH; from then on every call throws.
    void check(const std::uint8_t* data, std::size_t size);
    void reset() { *this = Evt3StartCheck(); }

private:
    std::uint64_t seen_ = 0;
    bool passed_ = false;
};

template <typename OnTime>
void Evt3StateTracker::follow(const std::uint8_t* data, std::size_t size, OnTime&& onTime) {
    std::size_t i = 0;
    if (has_kept_byte_ && size > 0) {
        const auto word = static_cast<std::uint16_t>(kept_byte_ | (data[0] << 8));
        has_kept_byte_ = false;
        ++i;
        ++offset_;
        if (apply(word)) onTime(offset_, state_);
    }
    for (; i + 1 < size; i += 2) {
        const auto word = static_cast<std::uint16_t>(data[i] | (data[i + 1] << 8));
        offset_ += 2;
        if (apply(word)) onTime(offset_, state_);
    }
    if (i < size) {
        has_kept_byte_ = true;
        kept_byte_ = data[i];
        ++offset_;
    }
}

}  // namespace velmo

#pragma once

#include <VelmoBase/Event2D.h>
#include <VelmoCodec/TriggerEvent.h>

#include <cstddef>
#include <cstdint>
#include <vector>

namespace velmo {

// Writes a stream of events and trigger edges as EVT3 bytes, span after span.
//
// Events of one row, one polarity and one time stamp that follow each other in the input with
// rising columns close enough together go out as VECT_BASE_X and VECT_12 / VECT_8 words, the
// others as ADDR_X; ADDR_Y, TIME_HIGH and TIME_LOW are written only when their value changes.
// The decoded events come out in the order they went in.
//
// Time wraps: a decoder extends the 24-bit time by counting TIME_HIGH words lower than the one
// before, so it needs a TIME_HIGH at least once per wrap period (2^24 us). The encoder writes
// one whenever the stream time has moved on by half a period (2^23 us, 2048 steps of TIME_HIGH)
// since the last: before an event or edge that comes after such a gap, and up to the end of
// every span. A decoder that reads the stream from its beginning (time 0) therefore gets the
// full 64-bit time stamps, however long the stream runs without events.
class Evt3Encoder {
public:
    Evt3Encoder();

    // Appends the words of the next span to out: its events and trigger edges (each in time
    // order, at or after the end of the previous span and at or before span_end_us) merged in
    // time order, events first at equal times, then the TIME_HIGH words that keep time up to
    // span_end_us. Throws std::invalid_argument naming the record, and appends nothing, for a
    // record out of order or after span_end_us, a column or row of more than 11 bits, a
    // polarity or trigger value other than 0 or 1, or a channel above 15.
    void encode(const Event2D* events, std::size_t event_count, const TriggerEvent* triggers,
                std::size_t trigger_count, std::uint64_t span_end_us, std::vector<std::uint8_t>& out);
    // As encode, into out, which holds at least maxBytes(event_count, trigger_count, span_end_us)
    // bytes; returns how many it wrote.
    std::size_t encodeInto(const Event2D* events, std::size_t event_count, const TriggerEvent* triggers,
                           std::size_t trigger_count, std::uint64_t span_end_us, std::uint8_t* out);
    // The most bytes the next span can take.
    std::size_t maxBytes(std::size_t event_count, std::size_t trigger_count, std::uint64_t span_end_us) const;

    // From now on an event at a column >= width or a row >= height is refused as encode refuses
    // one out of order: a sensor of that size. By default every 11-bit address fits.
    void setSensor(std::uint32_t width, std::uint32_t height);

    // The next span's bytes decode on their own, as a stream of their own: its first words
    // carry a decoder from time 0 to the span, wraps included, as a stream's first span does,
    // and set the row again. A decoder that has read the words before counts those leading
    // wraps once more, so each such chunk is decoded from a decoder's fresh state.
    void startChunk();

private:
    void validate(const Event2D* events, std::size_t event_count, const TriggerEvent* triggers,
                  std::size_t trigger_count, std::uint64_t span_end_us) const;
    std::size_t encodeValid(const Event2D* events, std::size_t event_count, const TriggerEvent* triggers,
                            std::size_t trigger_count, std::uint64_t span_end_us, std::uint8_t* out);

    std::uint32_t width_;
    std::uint32_t height_;
    // Full (unwrapped) TIME_HIGH value the decoder holds: timestamp >> 12.
    std::uint64_t high_ = 0;
    bool high_written_ = false;
    // The low time and the row the decoder holds, or a value no word carries before they are
    // written (at the start and at every chunk's start).
    std::uint32_t low_ = 0xFFFFFFFF;
    std::uint32_t row_ = 0xFFFFFFFF;
    // Nothing may come before this: the end of the last span.
    std::uint64_t encoded_until_ = 0;
};

}  // namespace velmo

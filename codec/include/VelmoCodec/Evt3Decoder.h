#pragma once

#include <VelmoBase/Event2D.h>
#include <VelmoCodec/Evt3Words.h>
#include <VelmoCodec/RawFormat.h>
#include <VelmoCodec/RecordBuffer.h>
#include <VelmoCodec/TriggerEvent.h>

#include <cstddef>
#include <cstdint>
#include <vector>

namespace velmo {

// What a decoder left out or noticed, summed over every call since it was made or reset.
struct Evt3DecodeCounters {
    std::uint64_t skipped_words = 0;    // words of a type the stream does not use (padding)
    std::uint64_t untimed_dropped = 0;  // events and trigger edges before the first TIME_HIGH
    std::uint64_t outside_dropped = 0;  // events at a column or row beyond the sensor
    std::uint64_t time_wraps = 0;       // times the 24-bit time counter went round
};

// How many records a decode call may write; the caller provides at least this many.
struct Evt3Capacity {
    std::size_t events = 0;
    std::size_t triggers = 0;
};

struct Evt3Decoded {
    std::size_t events = 0;
    std::size_t triggers = 0;
};

// What a decoder carries from one word of a stream to the next: enough to go on decoding from
// any word boundary of the stream as if every word before had been decoded.
struct Evt3StreamState {
    bool timed = false;
    std::uint64_t time = 0;  // wraps, TIME_HIGH and TIME_LOW together
    std::uint32_t y = 0;
    std::uint32_t vector_x = 0;
    std::uint32_t vector_polarity = 0;

    bool operator==(const Evt3StreamState& other) const {
        return timed == other.timed && time == other.time && y == other.y && vector_x == other.vector_x &&
               vector_polarity == other.vector_polarity;
    }
};

// Turns EVT3 bytes into events and trigger edges, chunk after chunk of one stream. It accepts
// any bytes: every word moves it on, nothing is read or written beyond the given buffers, and
// what cannot be decoded is counted, never guessed. Time stamps are extended to 64 bits by
// counting wraps of the 24-bit counter (a TIME_HIGH below the previous one). A chunk may end in
// the middle of a word: its last byte is kept for the next call.
//
// Not thread-safe: one caller at a time.
class Evt3Decoder {
public:
    // Events at a column >= width or a row >= height are dropped and counted.
    explicit Evt3Decoder(std::uint32_t width = evt3::kAddressRange, std::uint32_t height = evt3::kAddressRange);
    // The sensor size of an EVT3 format; a size the format lacks is the whole address range.
    // Throws std::invalid_argument for another encoding.
    static Evt3Decoder forFormat(const RawFormat& format);

    // Records that decode(data, size, ...) may write at most: one per ADDR_X and per column of
    // a vector (at most 12 per word), plus room the decoder writes past the last kept event.
    // Reads the bytes once.
    Evt3Capacity capacityFor(const std::uint8_t* data, std::size_t size) const;

    // Decodes the bytes into events[0 ..) and triggers[0 ..), which hold at least
    // capacityFor(data, size) records. Every byte of a returned record is set, fill bytes to
    // zero; records beyond the returned counts may be overwritten.
    Evt3Decoded decode(const std::uint8_t* data, std::size_t size, Event2D* events, TriggerEvent* triggers);

    // Decodes the bytes onto the end of events and triggers, which grow by what each block of
    // the bytes can decode to, not by a bound on the whole input. Each block is copied before
    // it is counted and decoded, so bytes that another thread rewrites meanwhile decode to
    // whatever the copy held, never to more records than there is room for.
    Evt3Decoded decodeAppending(const std::uint8_t* data, std::size_t size, RecordBuffer<Event2D>& events,
                                RecordBuffer<TriggerEvent>& triggers);

    // Back to the state of a new decoder: no time base, no kept byte, counters zero.
    void reset();

    // The state between two words; meaningless while a byte of a word is kept.
    Evt3StreamState streamState() const;
    // No record the bytes still to come decode to is before this time: the time's high half, as
    // a TIME_LOW may still move the low half back. 0 before the first TIME_HIGH.
    std::uint64_t earliestComingTimeUs() const;
    // Goes on from a word boundary of a stream in the given state, no byte kept; the counters
    // other than time_wraps stay.
    void resume(const Evt3StreamState& state);

    const Evt3DecodeCounters& counters() const { return counters_; }

    // Whether a TIME_HIGH has come yet, and the time stamp the next record would carry: no
    // later word of a stream in time order decodes to a record before it.
    bool timed() const { return timed_; }
    std::uint64_t time() const { return time_base_ | time_low_; }

private:
    struct Output {
        Event2D* events;
        TriggerEvent* triggers;
        std::size_t event_count;
        std::size_t trigger_count;
    };

    // What a call carries from word to word.
    struct Cursor {
        std::size_t kept;
        std::size_t kept_since_timed;
        std::uint64_t carried;
        std::uint64_t row_field;
        std::uint64_t timestamp;
        // Columns below this are kept in the current row: the width, or none before the time
        // base or in a row beyond the sensor.
        std::uint32_t column_limit;
        bool timed;
    };

    void decodeRareWord(std::uint16_t word, Cursor& cursor, Output& out);
    void decodeWords(const std::uint8_t* words, std::size_t word_count, Output& out);

    std::uint32_t width_;
    std::uint32_t height_;

    bool timed_ = false;
    std::uint32_t time_low_ = 0;
    // The time stamp less its low half: wraps * kTimeWrapUs | (TIME_HIGH << kTimeHalfBits).
    std::uint64_t time_base_ = 0;
    std::uint32_t y_ = 0;
    std::uint32_t vector_x_ = 0;
    std::uint32_t vector_polarity_ = 0;
    std::vector<std::uint8_t> block_;
    bool has_kept_byte_ = false;
    std::uint8_t kept_byte_ = 0;
    Evt3DecodeCounters counters_;
};

}  // namespace velmo

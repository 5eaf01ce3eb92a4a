#include <VelmoCodec/Evt3Decoder.h>
#include <VelmoCodec/QuotedText.h>

#include <algorithm>
#include <cstring>
#include <stdexcept>

namespace velmo {

namespace {

using evt3::WordType;

// A vector is written column by column, each record whether its bit is set or not, and only
// the kept ones are counted: no branch per bit. The last vector may thus write this many
// records past the last event kept.
constexpr std::size_t kVectorSlack = evt3::kVect12Columns;
// Blocks of the input decodeAppending copies: small enough to stay in cache between the copy,
// the count and the decode, large enough that each costs little beside its records.
constexpr std::size_t kCopyBlockBytes = 64 * 1024;
// Room decodeAppending makes before it starts: an event per word, what a stream of ADDR_X words
// carries (vectors carry more, and grow the output), up to a bound beyond which growing by
// realloc costs little beside the records themselves.
constexpr std::size_t kMaxFirstReservation = std::size_t{1} << 26;
// Far enough past every 16-bit column that a base moved on by vector after vector stays out
// of the sensor without ever wrapping around.
constexpr std::uint32_t kVectorBaseLimit = 0x10000;

constexpr unsigned typeOf(std::uint16_t word) { return word >> evt3::kTypeShift; }
constexpr unsigned code(WordType type) { return static_cast<unsigned>(type); }

// The stream is little-endian, as are the targets (Event2D.h checks it): a plain load.
std::uint16_t wordAt(const std::uint8_t* bytes) {
    std::uint16_t word;
    std::memcpy(&word, bytes, sizeof word);
    return word;
}

// The 16-bit population count, on any target.
std::uint16_t bitsSet(std::uint16_t v) {
    v = static_cast<std::uint16_t>(v - ((v >> 1) & 0x5555));
    v = static_cast<std::uint16_t>((v & 0x3333) + ((v >> 2) & 0x3333));
    v = static_cast<std::uint16_t>((v + (v >> 4)) & 0x0F0F);
    return static_cast<std::uint16_t>((v + (v >> 8)) & 0x1F);
}

constexpr unsigned kRowShift = 16;
void storeHalves(void* slot, std::uint64_t head, std::uint64_t tail) {
    std::memcpy(slot, &head, sizeof head);
    std::memcpy(static_cast<unsigned char*>(slot) + sizeof head, &tail, sizeof tail);
}

// The record with every byte set: fill bytes zero.
void storeEvent(Event2D* slot, std::uint32_t x, std::uint32_t y, std::uint32_t polarity, std::uint64_t timestamp) {
    const std::uint64_t head = std::uint64_t{x} | (std::uint64_t{y} << 16) | (std::uint64_t{polarity} << 32);
    std::memcpy(reinterpret_cast<unsigned char*>(slot), &head, sizeof head);
    std::memcpy(reinterpret_cast<unsigned char*>(slot) + sizeof head, &timestamp, sizeof timestamp);
}

void storeTrigger(TriggerEvent* slot, std::uint32_t value, std::uint32_t channel, std::uint64_t timestamp) {
    const std::uint64_t head = std::uint64_t{value} | (std::uint64_t{channel} << 8);
    std::memcpy(reinterpret_cast<unsigned char*>(slot), &head, sizeof head);
    std::memcpy(reinterpret_cast<unsigned char*>(slot) + sizeof head, &timestamp, sizeof timestamp);
}

// Adds one event per ADDR_X word and per column of a vector, and one trigger per EXT_TRIGGER
// word: what the words carry before anything is dropped. A vector counts all its columns, set or
// not: a bound as safe as the count of its bits and a third of the work per word.
void addRecordsCarried(const std::uint8_t* words, std::size_t word_count, Evt3Capacity& capacity) {
    // Counted in blocks with 16-bit sums, as wide as the words, and with compares and masks
    // rather than a choice per word, so that the compiler turns it into vector code on any
    // target; a block's sums stay below kVect12Columns * 4096.
    constexpr std::size_t kBlock = 4096;
    for (std::size_t start = 0; start < word_count; start += kBlock) {
        const std::size_t end = std::min(word_count, start + kBlock);
        std::uint16_t events = 0;
        std::uint16_t triggers = 0;
        for (std::size_t i = start; i < end; ++i) {
            const std::uint16_t type = static_cast<std::uint16_t>(wordAt(words + 2 * i) >> evt3::kTypeShift);
            const std::uint16_t columns = static_cast<std::uint16_t>(
                (-static_cast<std::uint16_t>(type == code(WordType::Vect12)) & evt3::kVect12Columns) |
                (-static_cast<std::uint16_t>(type == code(WordType::Vect8)) & evt3::kVect8Columns) |
                static_cast<std::uint16_t>(type == code(WordType::AddrX)));
            events = static_cast<std::uint16_t>(events + columns);
            triggers = static_cast<std::uint16_t>(triggers + (type == code(WordType::ExtTrigger)));
        }
        capacity.events += events;
        capacity.triggers += triggers;
    }
}

}  // namespace

Evt3Decoder::Evt3Decoder(std::uint32_t width, std::uint32_t height) : width_(width), height_(height) {}

Evt3Decoder Evt3Decoder::forFormat(const RawFormat& format) {
    if (!format.isEvt3())
        throw std::invalid_argument("cannot decode the encoding " + quotedForMessage(format.encoding()) + " as EVT3");
    return Evt3Decoder(evt3::sizeOrAddressRange(format.width()), evt3::sizeOrAddressRange(format.height()));
}

Evt3Capacity Evt3Decoder::capacityFor(const std::uint8_t* data, std::size_t size) const {
    Evt3Capacity capacity{kVectorSlack, 0};
    if (has_kept_byte_ && size > 0) {
        const std::uint8_t joined[2] = {kept_byte_, data[0]};
        addRecordsCarried(joined, 1, capacity);
        ++data;
        --size;
    }
    addRecordsCarried(data, size / 2, capacity);
    return capacity;
}

Evt3Decoded Evt3Decoder::decode(const std::uint8_t* data, std::size_t size, Event2D* events, TriggerEvent* triggers) {
    Output out{events, triggers, 0, 0};
    if (has_kept_byte_ && size > 0) {
        const std::uint8_t joined[2] = {kept_byte_, data[0]};
        has_kept_byte_ = false;
        decodeWords(joined, 1, out);
        ++data;
        --size;
    }
    decodeWords(data, size / 2, out);
    if (size % 2 != 0) {
        has_kept_byte_ = true;
        kept_byte_ = data[size - 1];
    }
    return Evt3Decoded{out.event_count, out.trigger_count};
}

Evt3Decoded Evt3Decoder::decodeAppending(const std::uint8_t* data, std::size_t size, RecordBuffer<Event2D>& events,
                                          RecordBuffer<TriggerEvent>& triggers) {
    events.reserve(events.size() + std::min(size / 2, kMaxFirstReservation) + kVectorSlack);
    block_.resize(std::min(size, kCopyBlockBytes));
    Evt3Decoded total;
    for (std::size_t done = 0; done < size;) {
        const std::size_t bytes = std::min(kCopyBlockBytes, size - done);
        std::memcpy(block_.data(), data + done, bytes);
        const Evt3Capacity capacity = capacityFor(block_.data(), bytes);
        const std::size_t first_event = events.size();
        const std::size_t first_trigger = triggers.size();
        Event2D* event_room = events.grow(capacity.events);
        TriggerEvent* trigger_room = triggers.grow(capacity.triggers);
        const Evt3Decoded decoded = decode(block_.data(), bytes, event_room, trigger_room);
        events.truncate(first_event + decoded.events);
        triggers.truncate(first_trigger + decoded.triggers);
        total.events += decoded.events;
        total.triggers += decoded.triggers;
        done += bytes;
    }
    return total;
}

void Evt3Decoder::reset() { *this = Evt3Decoder(width_, height_); }

Evt3StreamState Evt3Decoder::streamState() const {
    return Evt3StreamState{timed_, time(), y_, vector_x_, vector_polarity_};
}

std::uint64_t Evt3Decoder::earliestComingTimeUs() const {
    return timed_ ? time() & ~std::uint64_t{evt3::kPayloadMask} : 0;
}

void Evt3Decoder::resume(const Evt3StreamState& state) {
    timed_ = state.timed;
    time_low_ = static_cast<std::uint32_t>(state.time & evt3::kPayloadMask);
    time_base_ = state.time & ~std::uint64_t{evt3::kPayloadMask};
    counters_.time_wraps = state.time / evt3::kTimeWrapUs;
    y_ = state.y;
    vector_x_ = state.vector_x;
    vector_polarity_ = state.vector_polarity;
    has_kept_byte_ = false;
}

// Every word but ADDR_Y, ADDR_X and TIME_LOW.
__attribute__((noinline)) void Evt3Decoder::decodeRareWord(std::uint16_t word, Cursor& cursor, Output& out) {
    const unsigned type = typeOf(word);
    const std::uint32_t address = word & evt3::kAddressMask;
    const std::uint32_t y = static_cast<std::uint32_t>(cursor.row_field >> kRowShift);
    const std::uint32_t payload = word & evt3::kPayloadMask;
    switch (type) {
        case code(WordType::TimeHigh): {
            cursor.timestamp = evt3::timeAfterTimeHigh(cursor.timestamp, cursor.timed, payload);
            counters_.time_wraps = cursor.timestamp / evt3::kTimeWrapUs;
            if (!cursor.timed) {
                counters_.untimed_dropped += cursor.carried;
                cursor.carried = 0;
                cursor.kept_since_timed = cursor.kept;
                cursor.timed = true;
                cursor.column_limit = y < height_ ? width_ : 0;
            }
            break;
        }
        case code(WordType::VectBaseX):
            vector_x_ = address;
            vector_polarity_ = payload >> evt3::kPolarityBit;
            break;
        case code(WordType::Vect12):
        case code(WordType::Vect8): {
            const unsigned columns = type == code(WordType::Vect12) ? evt3::kVect12Columns : evt3::kVect8Columns;
            const std::uint32_t mask = payload & ((1u << columns) - 1);
            for (unsigned bit = 0; bit < columns; ++bit) {
                const std::uint32_t x = vector_x_ + bit;
                storeEvent(out.events + cursor.kept, x & 0xFFFF, y, vector_polarity_, cursor.timestamp);
                cursor.kept += ((mask >> bit) & 1) & (x < cursor.column_limit);
            }
            cursor.carried += static_cast<std::uint64_t>(bitsSet(static_cast<std::uint16_t>(mask)));
            vector_x_ = std::min(vector_x_ + columns, kVectorBaseLimit);
            break;
        }
        case code(WordType::ExtTrigger):
            if (cursor.timed) {
                storeTrigger(out.triggers + out.trigger_count, payload & 1, payload >> 8, cursor.timestamp);
                ++out.trigger_count;
            } else {
                ++counters_.untimed_dropped;
            }
            break;
        case code(WordType::Continued4):
        case code(WordType::Others):
        case code(WordType::Continued12): break;
        default: ++counters_.skipped_words; break;
    }
}

void Evt3Decoder::decodeWords(const std::uint8_t* words, std::size_t word_count, Output& out) {
    // The state lives in locals, so that it stays in registers across the stores.
    Event2D* const events = out.events;
    std::size_t kept = out.event_count;
    // Where this call's kept events begin, or where they began once the time base came.
    std::size_t kept_since_timed = kept;
    // Events the words carried since that point: kept, or else outside (or untimed).
    std::uint64_t carried = 0;
    // The row as it stands in the first half of a record.
    std::uint64_t row_field = std::uint64_t{y_} << kRowShift;
    std::uint64_t timestamp = time_base_ | time_low_;
    bool timed = timed_;
    // Until the time base comes no column is inside: nothing is kept.
    std::uint32_t column_limit = timed && y_ < height_ ? width_ : 0;
    const std::uint32_t height = height_;
    // The columns kept in a row inside the sensor: none until the time base comes.
    std::uint32_t row_columns = timed ? width_ : 0;
    constexpr std::uint64_t kTypeBits = std::uint64_t{0xF} << evt3::kTypeShift;
    constexpr std::uint64_t kTimeLowBits = std::uint64_t{code(WordType::TimeLow)} << evt3::kTypeShift;
    std::size_t i = 0;
    while (i < word_count) {
        // Most events come as [TIME_LOW] [ADDR_Y] ADDR_X. Whether a time word comes first is
        // the data's own chance, so a branch on it would be mispredicted about half the time:
        // it is taken by a mask from four words read at once. That a row word then comes and an
        // ADDR_X ends the group follows the stream's rhythm, and those branches are well
        // predicted. Where the next group starts hangs on whether it has a time word, so that is
        // read from the words already at hand, not from the next load: each group's load waits
        // for the one before only through the position.
        if (i + 4 <= word_count) {
            std::uint64_t quad;
            std::memcpy(&quad, words + 2 * i, sizeof quad);
            std::uint32_t time_first = (quad & kTypeBits) == kTimeLowBits;
            for (;;) {
                const std::uint64_t rest = quad >> (16 * time_first);
                std::uint32_t x_word;
                std::uint32_t next_time_first;
                if (__builtin_expect((rest & kTypeBits) == 0 &&
                                         typeOf(static_cast<std::uint16_t>(rest >> 16)) == code(WordType::AddrX),
                                     1)) {
                    const auto y = static_cast<std::uint32_t>(rest) & evt3::kAddressMask;
                    row_field = std::uint64_t{y} << kRowShift;
                    column_limit = y < height ? row_columns : 0;
                    x_word = static_cast<std::uint32_t>(rest >> 16) & 0xFFFF;
                    next_time_first = ((quad >> (16 * time_first + 32)) & kTypeBits) == kTimeLowBits;
                    i += time_first + 2;
                } else if (typeOf(static_cast<std::uint16_t>(rest)) == code(WordType::AddrX)) {
                    x_word = static_cast<std::uint32_t>(rest) & 0xFFFF;
                    next_time_first = ((quad >> (16 * time_first + 16)) & kTypeBits) == kTimeLowBits;
                    i += time_first + 1;
                } else {
                    break;
                }
                timestamp ^= (timestamp ^ quad) & (std::uint64_t{0} - time_first) & evt3::kPayloadMask;
                const std::uint32_t column = x_word & evt3::kAddressMask;
                // The polarity bit moved from bit 11 of the word to bit 32 of the record.
                const std::uint64_t polarity = std::uint64_t{x_word & (1u << evt3::kPolarityBit)}
                                               << (32 - evt3::kPolarityBit);
                storeHalves(events + kept, row_field | column | polarity, timestamp);
                kept += column < column_limit;
                ++carried;
                if (i + 4 > word_count) break;
                std::memcpy(&quad, words + 2 * i, sizeof quad);
                time_first = next_time_first;
            }
            if (i + 4 > word_count) continue;
        }
        const std::uint16_t word = wordAt(words + 2 * i);
        const unsigned type = typeOf(word);
        ++i;
        if (type == code(WordType::AddrX)) {
            const std::uint32_t column = word & evt3::kAddressMask;
            const std::uint64_t polarity = std::uint64_t{word & (1u << evt3::kPolarityBit)} << (32 - evt3::kPolarityBit);
            storeHalves(events + kept, row_field | column | polarity, timestamp);
            kept += column < column_limit;
            ++carried;
            continue;
        }
        if (type == code(WordType::AddrY)) {
            const std::uint32_t y = word & evt3::kAddressMask;
            row_field = std::uint64_t{y} << kRowShift;
            column_limit = y < height ? row_columns : 0;
            continue;
        }
        if (type == code(WordType::TimeLow)) {
            timestamp = (timestamp & ~std::uint64_t{evt3::kPayloadMask}) | (word & evt3::kPayloadMask);
            continue;
        }
        // Copied out and back so that the state stays in registers on the common path.
        Cursor cursor{kept, kept_since_timed, carried, row_field, timestamp, column_limit, timed};
        decodeRareWord(word, cursor, out);
        kept = cursor.kept;
        kept_since_timed = cursor.kept_since_timed;
        carried = cursor.carried;
        row_field = cursor.row_field;
        timestamp = cursor.timestamp;
        column_limit = cursor.column_limit;
        timed = cursor.timed;
        row_columns = timed ? width_ : 0;
    }
    if (timed) {
        counters_.outside_dropped += carried - (kept - kept_since_timed);
    } else {
        counters_.untimed_dropped += carried;
    }
    out.event_count = kept;
    y_ = static_cast<std::uint32_t>(row_field >> kRowShift);
    time_low_ = static_cast<std::uint32_t>(timestamp & evt3::kPayloadMask);
    time_base_ = timestamp & ~std::uint64_t{evt3::kPayloadMask};
    timed_ = timed;
}

}  // namespace velmo

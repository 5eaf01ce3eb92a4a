#include <VelmoHal/device/Evt3Decoder.h>
#include <VelmoHal/device/Logger.h>

#include <algorithm>
#include <cstring>
#include <stdexcept>

namespace velmo {

namespace {

using evt3::WordType;

// A vector is written column by column, each record whether its bit is set or not, and only
// the kept ones are counted: no branch per bit. The last vector may thus write this many
// records past the last event kept.
constexpr std::size_t kVectorSlack = 12;
// Far enough past every 16-bit column that a base moved on by vector after vector stays out
// of the sensor without ever wrapping around.
constexpr std::uint32_t kVectorBaseLimit = 0x10000;

constexpr unsigned typeOf(std::uint16_t word) { return word >> evt3::kTypeShift; }
constexpr unsigned code(WordType type) { return static_cast<unsigned>(type); }

std::uint16_t wordAt(const std::uint8_t* bytes) {
    return static_cast<std::uint16_t>(bytes[0] | (bytes[1] << 8));
}

// The 16-bit population count written out so that a loop of it vectorises on any target.
std::uint16_t bitsSet(std::uint16_t v) {
    v = static_cast<std::uint16_t>(v - ((v >> 1) & 0x5555));
    v = static_cast<std::uint16_t>((v & 0x3333) + ((v >> 2) & 0x3333));
    v = static_cast<std::uint16_t>((v + (v >> 4)) & 0x0F0F);
    return static_cast<std::uint16_t>((v + (v >> 8)) & 0x1F);
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

// Adds one event per ADDR_X word and per bit of a vector's mask, and one trigger per
// EXT_TRIGGER word: what the words carry before anything is dropped.
void addRecordsCarried(const std::uint8_t* words, std::size_t word_count, Evt3Capacity& capacity) {
    std::size_t events = 0;
    std::size_t triggers = 0;
    for (std::size_t i = 0; i < word_count; ++i) {
        const std::uint16_t word = wordAt(words + 2 * i);
        const unsigned type = typeOf(word);
        const std::uint16_t in_vector =
            type == code(WordType::Vect12) ? 0xFFF : type == code(WordType::Vect8) ? 0xFF : 0;
        events += bitsSet(static_cast<std::uint16_t>(word & in_vector)) + (type == code(WordType::AddrX));
        triggers += type == code(WordType::ExtTrigger);
    }
    capacity.events += events;
    capacity.triggers += triggers;
}

std::uint32_t sizeOrAddressRange(std::uint16_t size) { return size == 0 ? evt3::kAddressRange : size; }

}  // namespace

Evt3Decoder::Evt3Decoder(std::uint32_t width, std::uint32_t height) : width_(width), height_(height) {}

Evt3Decoder Evt3Decoder::forFormat(const RawEventStreamFormat& format) {
    if (format.getEncodingType() != RawEventStreamEncodingType::EVT3)
        throw std::invalid_argument("cannot decode the encoding " + quotedForMessage(format.getEncodingTypeStr()) + " as EVT3");
    return Evt3Decoder(sizeOrAddressRange(format.width()), sizeOrAddressRange(format.height()));
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

void Evt3Decoder::reset() { *this = Evt3Decoder(width_, height_); }

void Evt3Decoder::decodeWords(const std::uint8_t* words, std::size_t word_count, Output& out) {
    // Kept in locals so that the compiler holds them in registers across the stores.
    Event2D* const events = out.events;
    std::size_t kept = out.event_count;
    std::uint32_t y = y_;
    std::uint32_t low = time_low_;
    std::uint64_t base = time_base_;
    bool timed = timed_;
    bool row_inside = y < height_;
    std::uint64_t untimed = 0;
    std::uint64_t outside = 0;
    for (std::size_t i = 0; i < word_count; ++i) {
        const std::uint16_t word = wordAt(words + 2 * i);
        const std::uint32_t payload = word & evt3::kPayloadMask;
        switch (typeOf(word)) {
            case code(WordType::AddrY):
                y = word & evt3::kAddressMask;
                row_inside = y < height_;
                break;
            case code(WordType::AddrX): {
                const std::uint32_t x = word & evt3::kAddressMask;
                storeEvent(events + kept, x, y, payload >> evt3::kPolarityBit, base | low);
                const bool inside = row_inside && x < width_;
                kept += timed && inside;
                outside += timed && !inside;
                untimed += !timed;
                break;
            }
            case code(WordType::TimeLow): low = payload; break;
            case code(WordType::TimeHigh):
                if (timed && payload < time_high_) ++counters_.time_wraps;
                time_high_ = payload;
                timed = true;
                base = (counters_.time_wraps << 24) | (std::uint64_t{payload} << evt3::kTimeHalfBits);
                break;
            case code(WordType::VectBaseX):
                vector_x_ = word & evt3::kAddressMask;
                vector_polarity_ = payload >> evt3::kPolarityBit;
                break;
            case code(WordType::Vect12):
            case code(WordType::Vect8): {
                const unsigned columns = typeOf(word) == code(WordType::Vect12) ? 12 : 8;
                const std::uint32_t mask = payload & ((1u << columns) - 1);
                const std::size_t before = kept;
                const std::uint64_t timestamp = base | low;
                for (unsigned bit = 0; bit < columns; ++bit) {
                    const std::uint32_t x = vector_x_ + bit;
                    storeEvent(events + kept, x & 0xFFFF, y, vector_polarity_, timestamp);
                    kept += ((mask >> bit) & 1) & (timed && row_inside && x < width_);
                }
                const std::uint64_t seen = static_cast<std::uint64_t>(__builtin_popcount(mask));
                if (timed) {
                    outside += seen - (kept - before);
                } else {
                    untimed += seen;
                }
                vector_x_ = std::min(vector_x_ + columns, kVectorBaseLimit);
                break;
            }
            case code(WordType::ExtTrigger):
                if (timed) {
                    storeTrigger(out.triggers + out.trigger_count, payload & 1, payload >> 8, base | low);
                    ++out.trigger_count;
                } else {
                    ++untimed;
                }
                break;
            case code(WordType::Continued4):
            case code(WordType::Others):
            case code(WordType::Continued12): break;
            default: ++counters_.skipped_words; break;
        }
    }
    out.event_count = kept;
    y_ = y;
    time_low_ = low;
    time_base_ = base;
    timed_ = timed;
    counters_.untimed_dropped += untimed;
    counters_.outside_dropped += outside;
}

}  // namespace velmo

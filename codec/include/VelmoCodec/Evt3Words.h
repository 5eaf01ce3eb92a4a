#pragma once

#include <cstdint>

// The EVT3 raw stream: little-endian 16-bit words, the type in bits 15..12 and the payload in
// bits 11..0. Time is a 24-bit microsecond counter, split into a high and a low 12-bit half.
namespace velmo::evt3 {

enum class WordType : std::uint8_t {
    AddrY = 0x0,        // bits 10..0 the row of the events that follow
    AddrX = 0x2,        // bit 11 polarity, bits 10..0 the column: one event
    VectBaseX = 0x3,    // bit 11 polarity, bits 10..0 the first column of the vectors that follow
    Vect12 = 0x4,       // bit i: an event at base + i; then base += 12
    Vect8 = 0x5,        // as Vect12 over 8 columns; then base += 8
    TimeLow = 0x6,      // the low 12 bits of the time
    Continued4 = 0x7,   // extra data, skipped
    TimeHigh = 0x8,     // the high 12 bits of the time
    ExtTrigger = 0xA,   // bits 11..8 channel, bit 0 the edge (1 rising)
    Others = 0xE,       // extra data, skipped
    Continued12 = 0xF,  // extra data, skipped
};

constexpr unsigned kTypeShift = 12;
constexpr std::uint16_t kPayloadMask = 0xFFF;
constexpr std::uint16_t kAddressMask = 0x7FF;
constexpr unsigned kPolarityBit = 11;
// Rows and columns are 11-bit addresses.
constexpr std::uint32_t kAddressRange = 2048;
constexpr unsigned kTimeHalfBits = 12;
constexpr std::uint64_t kTimeWrapUs = std::uint64_t{1} << 24;
// Columns a vector word covers from its base, which then moves on by as many.
constexpr std::uint32_t kVect12Columns = 12;
constexpr std::uint32_t kVect8Columns = 8;
constexpr unsigned kMaxChannel = 15;

// The time once a TIME_HIGH word with payload `high` follows `time`. The 24-bit counter went
// round when the high half goes back, and the time goes on past it; the low half stays until
// the next TIME_LOW. Before the first TIME_HIGH (`timed` false) nothing has gone round.
constexpr std::uint64_t timeAfterTimeHigh(std::uint64_t time, bool timed, std::uint32_t high) {
    std::uint64_t wraps = time / kTimeWrapUs;
    if (timed && high < ((time >> kTimeHalfBits) & kPayloadMask)) ++wraps;
    return wraps * kTimeWrapUs | (std::uint64_t{high} << kTimeHalfBits) | (time & kPayloadMask);
}

// A sensor size of a format, 0 where the format lacks it: the whole address range.
constexpr std::uint32_t sizeOrAddressRange(std::uint16_t size) { return size == 0 ? kAddressRange : size; }

constexpr std::uint16_t word(WordType type, std::uint16_t payload) {
    return static_cast<std::uint16_t>((static_cast<unsigned>(type) << kTypeShift) | (payload & kPayloadMask));
}

}  // namespace velmo::evt3

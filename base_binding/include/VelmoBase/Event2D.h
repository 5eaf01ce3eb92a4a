#pragma once

#include <cstddef>
#include <cstdint>
#include <type_traits>

namespace velmo {

struct EventBase {};

// One event of a two-dimensional event sensor. The layout is an interface: NumPy arrays of
// the registered data type are these records themselves, read and written in place.
struct Event2D : EventBase {
    std::uint16_t x;
    std::uint16_t y;
    std::uint8_t polarity;
    std::uint64_t timestamp;
};

static_assert(sizeof(Event2D) == 16);
static_assert(alignof(Event2D) == 8);
static_assert(std::is_trivially_copyable_v<Event2D>);
static_assert(std::is_standard_layout_v<Event2D>);
static_assert(offsetof(Event2D, x) == 0);
static_assert(offsetof(Event2D, y) == 2);
static_assert(offsetof(Event2D, polarity) == 4);
static_assert(offsetof(Event2D, timestamp) == 8);
static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "the record is defined little-endian");

}  // namespace velmo

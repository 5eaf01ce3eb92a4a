#pragma once

#include <cstddef>
#include <cstdint>
#include <type_traits>

namespace velmo {

// One edge of an external trigger input, time-stamped on the same microsecond clock as the
// events. The layout is an interface: NumPy arrays of velmo.sim's trigger data type are these
// records themselves.
struct TriggerEvent {
    std::uint8_t value;    // 1 for a rising edge, 0 for a falling one
    std::uint8_t channel;  // the trigger input's channel
    std::uint64_t timestamp;
};

static_assert(sizeof(TriggerEvent) == 16);
static_assert(alignof(TriggerEvent) == 8);
static_assert(std::is_trivially_copyable_v<TriggerEvent>);
static_assert(std::is_standard_layout_v<TriggerEvent>);
static_assert(offsetof(TriggerEvent, value) == 0);
static_assert(offsetof(TriggerEvent, channel) == 1);
static_assert(offsetof(TriggerEvent, timestamp) == 8);

}  // namespace velmo

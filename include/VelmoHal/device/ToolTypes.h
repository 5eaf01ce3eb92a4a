#pragma once

#include <cstdint>
#include <string>
#include <type_traits>

namespace velmo {

enum class ToolType : std::int32_t {
    BIAS = 0,
    TRIGGER_IN = 1,
    ANTI_FLICKER = 3,
    EVENT_TRAIL_FILTER = 4,
    EVENT_RATE_CONTROL = 5,
    ROI = 6,
    APS_CTRL = 7,
};

enum class ToolParameterType : std::int32_t {
    INT = 0,
    FLOAT = 1,
    BOOL = 2,
    STRING = 3,
    ENUM = 4,
};

static_assert(std::is_same_v<std::underlying_type_t<ToolType>, std::int32_t>);
static_assert(std::is_same_v<std::underlying_type_t<ToolParameterType>, std::int32_t>);

// Display names: the enumerator's name, or "ToolType(2)" style for a value without one.
std::string to_string(ToolType type);
std::string ToolParameterTypeToString(ToolParameterType type);

}  // namespace velmo

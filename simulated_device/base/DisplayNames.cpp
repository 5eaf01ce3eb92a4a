#include <VelmoHal/device/ToolTypes.h>

namespace velmo {

namespace {

// A value without an enumerator still gets a readable name, e.g. "ToolType(2)".
std::string unnamedValue(const char* type_name, std::int32_t value) {
    return std::string(type_name) + "(" + std::to_string(value) + ")";
}

}  // namespace

std::string to_string(ToolType type) {
    switch (type) {
        case ToolType::BIAS: return "BIAS";
        case ToolType::TRIGGER_IN: return "TRIGGER_IN";
        case ToolType::ANTI_FLICKER: return "ANTI_FLICKER";
        case ToolType::EVENT_TRAIL_FILTER: return "EVENT_TRAIL_FILTER";
        case ToolType::EVENT_RATE_CONTROL: return "EVENT_RATE_CONTROL";
        case ToolType::ROI: return "ROI";
        case ToolType::APS_CTRL: return "APS_CTRL";
    }
    return unnamedValue("ToolType", static_cast<std::int32_t>(type));
}

std::string ToolParameterTypeToString(ToolParameterType type) {
    switch (type) {
        case ToolParameterType::INT: return "INT";
        case ToolParameterType::FLOAT: return "FLOAT";
        case ToolParameterType::BOOL: return "BOOL";
        case ToolParameterType::STRING: return "STRING";
        case ToolParameterType::ENUM: return "ENUM";
    }
    return unnamedValue("ToolParameterType", static_cast<std::int32_t>(type));
}

}  // namespace velmo

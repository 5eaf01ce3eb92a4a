#pragma once

#include <VelmoHal/device/ToolTypes.h>

#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

namespace velmo {

namespace detail {

// printf's "%f" of the value widened to double, as the text forms require.
inline std::string fixedText(float value) {
    const double widened = value;
    const int length = std::snprintf(nullptr, 0, "%f", widened);
    std::string text(static_cast<std::size_t>(length), '\0');
    std::snprintf(text.data(), text.size() + 1, "%f", widened);
    return text;
}

}  // namespace detail

// Every member is zero or empty unless set, even when a record is default-initialised.
// The two callback slots of each typed record are filled by the device library: the first
// reads the parameter's current value, the second writes a value that was already checked.
struct ToolInfo {
    ToolType tool_type{};
    std::vector<std::string> parameter_names;
    std::string description;

    std::string toString() const {
        std::string text = "ToolType: " + to_string(tool_type) + "\nDescription: " + description +
                           "\nParameters: ";
        for (const std::string& name : parameter_names) {
            text += name;
            text += ' ';
        }
        return text;
    }
};

struct BasicParameterInfo {
    std::string name;
    std::string description;
    ToolParameterType type{};

    std::string toString() const {
        return "Name: " + name + " Description: " + description +
               " Type: " + ToolParameterTypeToString(type);
    }
};

struct IntParameterInfo {
    std::int32_t min{};
    std::int32_t max{};
    std::int32_t default_value{};
    std::string unit;
    std::function<std::int32_t()> first_callback;
    std::function<void(std::int32_t)> second_callback;

    std::string toString() const {
        return "Min: " + std::to_string(min) + " Max: " + std::to_string(max) +
               " Default: " + std::to_string(default_value) + " Unit: " + unit;
    }

    // The lower bound is tested first, so with min above max every value at or above min
    // yields max.
    std::int32_t constraintValue(std::int32_t value) const {
        if (min > value) return min;
        if (max <= value) return max;
        return value;
    }
};

struct FloatParameterInfo {
    float min{};
    float max{};
    float default_value{};
    std::string unit;
    std::function<float()> first_callback;
    std::function<void(float)> second_callback;

    std::string toString() const {
        return "Min: " + detail::fixedText(min) + " Max: " + detail::fixedText(max) +
               " Default: " + detail::fixedText(default_value) + " Unit: " + unit;
    }

    // A NaN fails both comparisons and comes back unchanged.
    float constraintValue(float value) const {
        if (min > value) return min;
        if (max < value) return max;
        return value;
    }
};

struct BoolParameterInfo {
    bool default_value{};
    std::function<bool()> first_callback;
    std::function<void(bool)> second_callback;

    std::string toString() const { return default_value ? "Default: 1" : "Default: 0"; }
};

struct EnumParameterInfo {
    std::vector<std::string> options;
    std::string default_value;
    std::function<std::string()> first_callback;
    std::function<void(const std::string&)> second_callback;

    std::string toString() const {
        return "Options: " + std::to_string(options.size()) + " Default: " + default_value;
    }
};

}  // namespace velmo

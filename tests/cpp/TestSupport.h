#pragma once

#include <VelmoHal/camera/tools/CameraToolPrivate.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <utility>

namespace velmo::testing_support {

// Everything the action writes to standard error (the device library's log lines).
template <typename Action>
std::string stderrOf(Action&& action) {
    ::testing::internal::CaptureStderr();
    std::forward<Action>(action)();
    return ::testing::internal::GetCapturedStderr();
}

inline std::size_t lineCount(const std::string& text) {
    return static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n'));
}

// A registry that tests fill freely, including with entries no real tool would make.
class RegistryTool : public CameraToolBasePrivate {
public:
    using CameraToolBasePrivate::CameraToolBasePrivate;

    ToolInfo getToolInfo() override { return {}; }

    void add(ParameterEntry entry) { registerParameter(std::move(entry)); }
    void addUnderKey(const std::string& key, ParameterEntry entry) { parameters.insert_or_assign(key, std::move(entry)); }
};

inline ParameterEntry entryOf(std::string name, ToolParameterType type, ParameterDetail detail,
                              std::string description = "") {
    ParameterEntry entry;
    entry.basic = BasicParameterInfo{std::move(name), std::move(description), type};
    entry.detail = std::move(detail);
    return entry;
}

}  // namespace velmo::testing_support

#pragma once

#include <VelmoBase/Event2D.h>
#include <VelmoCodec/TriggerEvent.h>
#include <VelmoHal/camera/tools/CameraToolPrivate.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <string>
#include <utility>
#include <vector>

namespace velmo::testing_support {

// What a read or a decode gives: events and trigger events, each list in time order.
struct Records {
    std::vector<Event2D> events;
    std::vector<TriggerEvent> triggers;
};

// Field by field: the records' padding bytes say nothing.
inline bool sameRecord(const Event2D& a, const Event2D& b) {
    return a.x == b.x && a.y == b.y && a.polarity == b.polarity && a.timestamp == b.timestamp;
}

inline bool sameRecord(const TriggerEvent& a, const TriggerEvent& b) {
    return a.value == b.value && a.channel == b.channel && a.timestamp == b.timestamp;
}

// Whether `got` holds the records of `expected` from its element `from` on, and no more.
template <typename Record>
bool sameRecords(const std::vector<Record>& got, const std::vector<Record>& expected, std::size_t from = 0) {
    return got.size() + from == expected.size() &&
           std::equal(got.begin(), got.end(), expected.begin() + static_cast<std::ptrdiff_t>(from),
                      [](const Record& a, const Record& b) { return sameRecord(a, b); });
}

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

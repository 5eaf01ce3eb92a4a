#include "AllOrNone.h"

#include <gtest/gtest.h>

#include <map>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

namespace velmo::binding {
namespace {

struct Write {
    std::string name;
    int value;
};

// Writes to parameters a, b and c; `refused` names the one whose write fails, or whose old
// value cannot be read.
struct Case {
    std::string refused;
    bool unreadable;
    std::optional<std::size_t> failed;
    std::vector<std::string> made;
};

void PrintTo(const Case& c, std::ostream* out) {
    *out << (c.refused.empty() ? "none" : c.refused) << (c.unreadable ? " unreadable" : " refused");
}

class WriteAllOrNone : public ::testing::TestWithParam<Case> {};

TEST_P(WriteAllOrNone, UndoesTheWritesMadeLastFirstWhenOneFails) {
    const Case c = GetParam();
    std::map<std::string, int> values = {{"a", 1}, {"b", 2}, {"c", 3}};
    std::vector<std::string> made;
    const std::optional<std::size_t> failed = writeAllOrNone(
        std::vector<Write>{{"a", 10}, {"b", 20}, {"c", 30}},
        [&](const Write& write) {
            return c.unreadable && write.name == c.refused ? std::nullopt : std::optional<int>(values.at(write.name));
        },
        [&](const Write& write, int value) {
            if (!c.unreadable && write.name == c.refused && value == write.value) return false;
            values[write.name] = value;
            made.push_back(write.name + "=" + std::to_string(value));
            return true;
        });
    EXPECT_EQ(failed, c.failed);
    EXPECT_EQ(made, c.made);
    const std::map<std::string, int> expected =
        failed ? std::map<std::string, int>{{"a", 1}, {"b", 2}, {"c", 3}} : std::map<std::string, int>{{"a", 10}, {"b", 20}, {"c", 30}};
    EXPECT_EQ(values, expected);
}

INSTANTIATE_TEST_SUITE_P(
    AllOrNone, WriteAllOrNone,
    ::testing::Values(Case{"", false, std::nullopt, {"a=10", "b=20", "c=30"}},
                      Case{"a", false, 0, {}},
                      Case{"c", false, 2, {"a=10", "b=20", "b=2", "a=1"}},
                      Case{"b", true, 1, {"a=10", "a=1"}}));

}  // namespace
}  // namespace velmo::binding

#include <VelmoHal/camera/tools/ToolInfo.h>
#include <VelmoHal/device/CameraDescription.h>

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace velmo {
namespace {

struct TextCase {
    std::string actual;
    std::string expected;
};

void PrintTo(const TextCase& c, std::ostream* out) { *out << c.expected; }

class RecordText : public ::testing::TestWithParam<TextCase> {};

TEST_P(RecordText, RendersExactly) { EXPECT_EQ(GetParam().actual, GetParam().expected); }

// IntParameterInfo and FloatParameterInfo share their four fields and differ in number type.
template <typename Info>
Info numericInfo(decltype(Info::min) min, decltype(Info::min) max, decltype(Info::min) default_value,
                 std::string unit) {
    Info info;
    info.min = min;
    info.max = max;
    info.default_value = default_value;
    info.unit = std::move(unit);
    return info;
}
constexpr auto intInfo = &numericInfo<IntParameterInfo>;
constexpr auto floatInfo = &numericInfo<FloatParameterInfo>;

EnumParameterInfo enumInfo(std::vector<std::string> options, std::string default_value) {
    EnumParameterInfo info;
    info.options = std::move(options);
    info.default_value = std::move(default_value);
    return info;
}

INSTANTIATE_TEST_SUITE_P(
    TextForms, RecordText,
    ::testing::Values(
        TextCase{IntParameterInfo{}.toString(), "Min: 0 Max: 0 Default: 0 Unit: "},
        TextCase{intInfo(-5, 10, 3, "ms").toString(), "Min: -5 Max: 10 Default: 3 Unit: ms"},
        TextCase{intInfo(INT32_MIN, INT32_MAX, -1, "a b").toString(),
                 "Min: -2147483648 Max: 2147483647 Default: -1 Unit: a b"},
        TextCase{floatInfo(0.0f, 1.5f, 0.25f, "").toString(), "Min: 0.000000 Max: 1.500000 Default: 0.250000 Unit: "},
        TextCase{floatInfo(-0.5f, 1e-7f, 3.0e10f, "%").toString(),
                 "Min: -0.500000 Max: 0.000000 Default: 30000001024.000000 Unit: %"},
        TextCase{floatInfo(-std::numeric_limits<float>::infinity(), std::numeric_limits<float>::infinity(),
                           std::numeric_limits<float>::quiet_NaN(), "Hz")
                     .toString(),
                 "Min: -inf Max: inf Default: nan Unit: Hz"},
        TextCase{BoolParameterInfo{}.toString(), "Default: 0"},
        TextCase{BoolParameterInfo{true, {}, {}}.toString(), "Default: 1"},
        TextCase{enumInfo({"a", "b", "c"}, "b").toString(), "Options: 3 Default: b"},
        TextCase{EnumParameterInfo{}.toString(), "Options: 0 Default: "},
        TextCase{BasicParameterInfo{}.toString(), "Name:  Description:  Type: INT"},
        TextCase{BasicParameterInfo{"x", "a: b\nc", ToolParameterType::ENUM}.toString(),
                 "Name: x Description: a: b\nc Type: ENUM"},
        TextCase{BasicParameterInfo{"x", "", static_cast<ToolParameterType>(9)}.toString(),
                 "Name: x Description:  Type: ToolParameterType(9)"},
        TextCase{ToolInfo{ToolType::ROI, {"x", "y"}, "d"}.toString(), "ToolType: ROI\nDescription: d\nParameters: x y "},
        TextCase{ToolInfo{}.toString(), "ToolType: BIAS\nDescription: \nParameters: "},
        TextCase{ToolInfo{static_cast<ToolType>(2), {"only"}, "two\nlines"}.toString(),
                 "ToolType: ToolType(2)\nDescription: two\nlines\nParameters: only "}));

class DisplayName : public ::testing::TestWithParam<TextCase> {};

TEST_P(DisplayName, IsTheEnumeratorOrTheValue) { EXPECT_EQ(GetParam().actual, GetParam().expected); }

INSTANTIATE_TEST_SUITE_P(
    Names, DisplayName,
    ::testing::Values(TextCase{to_string(ToolType::BIAS), "BIAS"}, TextCase{to_string(ToolType::TRIGGER_IN), "TRIGGER_IN"},
                      TextCase{to_string(ToolType::ANTI_FLICKER), "ANTI_FLICKER"},
                      TextCase{to_string(ToolType::EVENT_TRAIL_FILTER), "EVENT_TRAIL_FILTER"},
                      TextCase{to_string(ToolType::EVENT_RATE_CONTROL), "EVENT_RATE_CONTROL"},
                      TextCase{to_string(ToolType::ROI), "ROI"}, TextCase{to_string(ToolType::APS_CTRL), "APS_CTRL"},
                      TextCase{to_string(static_cast<ToolType>(2)), "ToolType(2)"},
                      TextCase{to_string(static_cast<ToolType>(-1)), "ToolType(-1)"},
                      TextCase{ToolParameterTypeToString(ToolParameterType::INT), "INT"},
                      TextCase{ToolParameterTypeToString(ToolParameterType::FLOAT), "FLOAT"},
                      TextCase{ToolParameterTypeToString(ToolParameterType::BOOL), "BOOL"},
                      TextCase{ToolParameterTypeToString(ToolParameterType::STRING), "STRING"},
                      TextCase{ToolParameterTypeToString(ToolParameterType::ENUM), "ENUM"},
                      TextCase{ToolParameterTypeToString(static_cast<ToolParameterType>(9)), "ToolParameterType(9)"},
                      TextCase{to_string(USB), "USB"},
                      TextCase{to_string(static_cast<INTERFACE_TYPE>(4294967295u)), "INTERFACE_TYPE(4294967295)"}));

struct IntClampCase {
    std::int32_t min, max, value, expected;
};

class IntClamp : public ::testing::TestWithParam<IntClampCase> {};

TEST_P(IntClamp, TestsTheLowerBoundFirst) {
    const IntClampCase& c = GetParam();
    const IntParameterInfo info = intInfo(c.min, c.max, 0, "");
    EXPECT_EQ(info.constraintValue(c.value), c.expected);
}

INSTANTIATE_TEST_SUITE_P(Bounds, IntClamp,
                         ::testing::Values(IntClampCase{0, 100, -1, 0}, IntClampCase{0, 100, 0, 0},
                                           IntClampCase{0, 100, 50, 50}, IntClampCase{0, 100, 100, 100},
                                           IntClampCase{0, 100, 101, 100}, IntClampCase{10, 5, 7, 10},
                                           IntClampCase{10, 5, 10, 5}, IntClampCase{10, 5, 12, 5},
                                           IntClampCase{-10, -5, INT32_MIN, -10}, IntClampCase{-10, -5, INT32_MAX, -5}));

struct FloatClampCase {
    float min, max, value, expected;
};

class FloatClamp : public ::testing::TestWithParam<FloatClampCase> {};

TEST_P(FloatClamp, TestsTheLowerBoundFirst) {
    const FloatClampCase& c = GetParam();
    EXPECT_EQ(floatInfo(c.min, c.max, 0.0f, "").constraintValue(c.value), c.expected);
}

INSTANTIATE_TEST_SUITE_P(Bounds, FloatClamp,
                         ::testing::Values(FloatClampCase{0.0f, 1.0f, -0.5f, 0.0f}, FloatClampCase{0.0f, 1.0f, 0.5f, 0.5f},
                                           FloatClampCase{0.0f, 1.0f, 1.0f, 1.0f}, FloatClampCase{0.0f, 1.0f, 2.0f, 1.0f},
                                           FloatClampCase{10.0f, 5.0f, 7.0f, 10.0f},
                                           FloatClampCase{10.0f, 5.0f, 10.0f, 5.0f},
                                           FloatClampCase{0.0f, 1.0f, -std::numeric_limits<float>::infinity(), 0.0f}));

TEST(FloatClamp, ReturnsNaNUnchanged) {
    EXPECT_TRUE(std::isnan(floatInfo(0.0f, 1.0f, 0.0f, "").constraintValue(std::numeric_limits<float>::quiet_NaN())));
}

TEST(RecordCopy, IsIndependentButSharesTheCallbackTargets) {
    int stored = 7;
    IntParameterInfo original = intInfo(0, 10, 3, "ms");
    original.first_callback = [&stored] { return stored; };
    original.second_callback = [&stored](std::int32_t value) { stored = value; };
    IntParameterInfo copy = original;
    copy.unit = "us";
    copy.default_value = 4;
    EXPECT_EQ(original.unit, "ms");
    EXPECT_EQ(original.default_value, 3);
    ASSERT_TRUE(copy.first_callback && copy.second_callback);
    copy.second_callback(9);
    EXPECT_EQ(original.first_callback(), 9);

    EnumParameterInfo options = enumInfo({"a", "b"}, "a");
    EnumParameterInfo options_copy = options;
    options_copy.options.push_back("c");
    options_copy.default_value = "c";
    EXPECT_EQ(options.options, (std::vector<std::string>{"a", "b"}));
    EXPECT_EQ(options.default_value, "a");

    ToolInfo info{ToolType::ROI, {"x"}, "d"};
    ToolInfo info_copy = info;
    info_copy.parameter_names.push_back("y");
    EXPECT_EQ(info.parameter_names.size(), 1u);
}

}  // namespace
}  // namespace velmo

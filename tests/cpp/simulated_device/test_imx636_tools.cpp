#include "TestSupport.h"

#include <VelmoHal/device/Imx636Biases.h>
#include <VelmoSim/RegisterFile.h>
#include <VelmoSim/SimulatedCamera.h>

#include <cmath>
#include <functional>
#include <limits>
#include <typeinfo>

namespace velmo {
namespace {

using testing_support::entryOf;
using testing_support::lineCount;
using testing_support::stderrOf;

struct ToolInfoCase {
    ToolType type;
    std::vector<std::string> names;
    std::string description;
};

void PrintTo(const ToolInfoCase& c, std::ostream* out) { *out << c.description; }

class Imx636ToolInfo : public ::testing::TestWithParam<ToolInfoCase> {};

TEST_P(Imx636ToolInfo, DescribesTheToolAndListsItsParameters) {
    const std::shared_ptr<CameraTool> tool = makeImx636Tool(GetParam().type, "");
    ToolInfo info = tool->getToolInfo();
    EXPECT_EQ(info.tool_type, GetParam().type);
    EXPECT_EQ(info.parameter_names, GetParam().names);
    EXPECT_EQ(info.description, GetParam().description);
    info.parameter_names.clear();
    EXPECT_EQ(tool->getToolInfo().parameter_names, GetParam().names);

    // Every listed name is in the registry with metadata the typed query returns.
    const auto table = tool->getAllParamInfo();
    EXPECT_EQ(table.size(), GetParam().names.size());
    for (const std::string& name : GetParam().names) ASSERT_EQ(table.count(name), 1u) << name;
}

INSTANTIATE_TEST_SUITE_P(
    Tools, Imx636ToolInfo,
    ::testing::Values(
        ToolInfoCase{ToolType::BIAS,
                     {"bias_diff_on", "bias_diff_off", "bias_fo", "bias_hpf", "bias_refr"},
                     "Biases of DVS cameras with IMX636 sensor"},
        ToolInfoCase{ToolType::TRIGGER_IN, {"enable"}, "Trigger in of DVS cameras with IMX636 sensors"},
        ToolInfoCase{ToolType::ANTI_FLICKER,
                     {"duty_cycle", "enable", "high_frequency", "low_frequency", "mode"},
                     "Anti flicker of DVS cameras with IMX636 sensor."},
        ToolInfoCase{ToolType::EVENT_TRAIL_FILTER, {"enable", "threshold", "type"},
                     "Event Trail Filter of DVS cameras with IMX636 sensor"},
        ToolInfoCase{ToolType::EVENT_RATE_CONTROL, {"enable", "max_event_rate"}, "ERC of DVS cameras with IMX636 sensor"},
        ToolInfoCase{ToolType::ROI, {"enable", "mode", "x", "y", "x_width", "y_height"},
                     "ROI of DVS cameras with IMX636 sensor"}),
    [](const auto& info) { return to_string(info.param.type); });

TEST(Imx636AntiFlickerInfo, ListsFullKeysInKeyOrder) {
    const auto tool = makeImx636Tool(ToolType::ANTI_FLICKER, "afk.");
    EXPECT_EQ(tool->getToolInfo().parameter_names,
              (std::vector<std::string>{"afk.duty_cycle", "afk.enable", "afk.high_frequency", "afk.low_frequency",
                                        "afk.mode"}));
}

TEST(Imx636ToolKinds, AreMadeOnlyForIMX636Kinds) {
    EXPECT_THROW(makeImx636Tool(ToolType::APS_CTRL, ""), std::invalid_argument);
    EXPECT_THROW(makeImx636Tool(static_cast<ToolType>(2), ""), std::invalid_argument);
    EXPECT_THROW(Imx636ROI("", nullptr), std::invalid_argument);
}

template <typename Tool>
class Imx636ToolLayout : public ::testing::Test {};

using Imx636Tools =
    ::testing::Types<Imx636Biases, Imx636TriggerIn, Imx636AntiFlicker, Imx636EventRateControl, Imx636EventTrailFilter, Imx636ROI>;
TYPED_TEST_SUITE(Imx636ToolLayout, Imx636Tools);

TYPED_TEST(Imx636ToolLayout, HasEveryBaseAtItsStart) {
    TypeParam tool("", std::make_shared<RegisterFile>());
    const void* start = &tool;
    EXPECT_EQ(static_cast<const void*>(static_cast<CameraTool*>(&tool)), start);
    EXPECT_EQ(static_cast<const void*>(static_cast<CameraToolBasePrivate*>(&tool)), start);
    EXPECT_EQ(static_cast<const void*>(static_cast<CameraToolRegister*>(&tool)), start);
    EXPECT_EQ(static_cast<const void*>(static_cast<CameraToolRegisterWithCallback*>(&tool)), start);
    CameraTool& as_tool = tool;
    EXPECT_EQ(typeid(as_tool), typeid(TypeParam));
    EXPECT_EQ(dynamic_cast<CameraToolRegisterWithCallback*>(&as_tool), &tool);
}

TYPED_TEST(Imx636ToolLayout, ReadsEveryParameterAtItsDefault) {
    TypeParam tool("", std::make_shared<RegisterFile>());
    for (const auto& [name, basic] : tool.getAllParamInfo()) {
        switch (basic.type) {
            case ToolParameterType::INT: {
                IntParameterInfo info;
                int value = 0;
                ASSERT_TRUE(tool.getParamInfo(name, info));
                ASSERT_TRUE(tool.getParam(name, value));
                EXPECT_EQ(value, info.default_value) << name;
                EXPECT_LE(info.min, info.default_value) << name;
                EXPECT_GE(info.max, info.default_value) << name;
                break;
            }
            case ToolParameterType::FLOAT: {
                FloatParameterInfo info;
                float value = 0;
                ASSERT_TRUE(tool.getParamInfo(name, info));
                ASSERT_TRUE(tool.getParam(name, value));
                EXPECT_EQ(value, info.default_value) << name;
                break;
            }
            case ToolParameterType::BOOL: {
                BoolParameterInfo info;
                bool value = true;
                ASSERT_TRUE(tool.getParamInfo(name, info));
                ASSERT_TRUE(tool.getParam(name, value));
                EXPECT_EQ(value, info.default_value) << name;
                break;
            }
            case ToolParameterType::ENUM: {
                EnumParameterInfo info;
                std::string value;
                ASSERT_TRUE(tool.getParamInfo(name, info));
                ASSERT_TRUE(tool.getParam(name, value));
                EXPECT_EQ(value, info.default_value) << name;
                EXPECT_NE(std::find(info.options.begin(), info.options.end(), value), info.options.end()) << name;
                break;
            }
            default: ADD_FAILURE() << name << " has type " << ToolParameterTypeToString(basic.type);
        }
    }
}

TEST(Imx636Registers, NeverCollideBetweenTheToolsOfOneCamera) {
    const auto registers = std::make_shared<RegisterFile>();
    std::size_t parameter_count = 0;
    for (const ToolType type : {ToolType::BIAS, ToolType::TRIGGER_IN, ToolType::ANTI_FLICKER,
                                ToolType::EVENT_TRAIL_FILTER, ToolType::EVENT_RATE_CONTROL, ToolType::ROI}) {
        const auto tool = makeImx636Tool(type, "");
        parameter_count += tool->getAllParamInfo().size();
    }
    Imx636Biases biases("", registers);
    Imx636TriggerIn trigger("", registers);
    Imx636AntiFlicker flicker("", registers);
    Imx636EventTrailFilter trail("", registers);
    Imx636EventRateControl erc("", registers);
    Imx636ROI roi("", registers);
    EXPECT_EQ(registers->snapshot().size(), parameter_count);
}

// A write through the tool, described for the failure messages.
struct WriteCase {
    const char* label;
    ToolType tool;
    std::function<bool(CameraTool&)> write;
    std::string expected_message;
};

std::ostream& operator<<(std::ostream& out, const WriteCase& c) { return out << c.label; }

// The values of every parameter, as text, to see that a refused write changed nothing.
std::map<std::string, std::string> valuesOf(CameraTool& tool) {
    std::map<std::string, std::string> values;
    for (const auto& [name, basic] : tool.getAllParamInfo()) {
        int as_int = 0;
        float as_float = 0;
        bool as_bool = false;
        std::string as_text;
        switch (basic.type) {
            case ToolParameterType::INT:
                if (tool.getParam(name, as_int)) values[name] = std::to_string(as_int);
                break;
            case ToolParameterType::FLOAT:
                if (tool.getParam(name, as_float)) values[name] = std::to_string(as_float);
                break;
            case ToolParameterType::BOOL:
                if (tool.getParam(name, as_bool)) values[name] = as_bool ? "true" : "false";
                break;
            default:
                if (tool.getParam(name, as_text)) values[name] = as_text;
        }
    }
    return values;
}

class RefusedWrite : public ::testing::TestWithParam<WriteCase> {};

TEST_P(RefusedWrite, ReturnsFalseLogsWhyAndChangesNothing) {
    const auto tool = makeImx636Tool(GetParam().tool, "");
    const std::map<std::string, std::string> before = valuesOf(*tool);
    bool written = true;
    const std::string log = stderrOf([&] { written = GetParam().write(*tool); });
    EXPECT_FALSE(written);
    EXPECT_EQ(lineCount(log), 1u) << log;
    EXPECT_NE(log.find(GetParam().expected_message), std::string::npos) << log;
    EXPECT_EQ(valuesOf(*tool), before);
}

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInfinity = std::numeric_limits<float>::infinity();

INSTANTIATE_TEST_SUITE_P(
    Validation, RefusedWrite,
    ::testing::Values(
        WriteCase{"IntAboveMax", ToolType::ROI, [](CameraTool& t) { return t.setParam("x", 2000); },
                  "setParam(int) refused: 2000 is outside [0, 1279] for parameter \"x\""},
        WriteCase{"IntBelowMin", ToolType::ROI, [](CameraTool& t) { return t.setParam("x_width", 0); },
                  "setParam(int) refused: 0 is outside [1, 1280] for parameter \"x_width\""},
        WriteCase{"FloatOnInt", ToolType::ROI, [](CameraTool& t) { return t.setParam("x", 5.0f); },
                  "setParam(float) refused: parameter \"x\" is INT"},
        WriteCase{"DoubleIsNotSupported", ToolType::ROI, [](CameraTool& t) { return t.setParam("x", 5.0); },
                  "setParam(double) is not supported by this tool: parameter \"x\", value 5"},
        WriteCase{"IntNotZeroOrOneOnBool", ToolType::ROI, [](CameraTool& t) { return t.setParam("enable", 2); },
                  "setParam(int) refused: 2 is not 0 or 1 for BOOL parameter \"enable\""},
        WriteCase{"NegativeIntOnBool", ToolType::TRIGGER_IN, [](CameraTool& t) { return t.setParam("enable", -1); },
                  "setParam(int) refused: -1 is not 0 or 1 for BOOL parameter \"enable\""},
        WriteCase{"OptionIsCaseSensitive", ToolType::ROI,
                  [](CameraTool& t) { return t.setParam("mode", std::string("roi")); },
                  "setParam(string) refused: \"roi\" is not one of the options of parameter \"mode\" (ROI, RONI)"},
        WriteCase{"UnknownOption", ToolType::EVENT_TRAIL_FILTER,
                  [](CameraTool& t) { return t.setParam("type", "STC"); },
                  "setParam(const char*) refused: \"STC\" is not one of the options of parameter \"type\""},
        WriteCase{"NullText", ToolType::ROI, [](CameraTool& t) { return t.setParam("mode", static_cast<const char*>(nullptr)); },
                  "setParam(const char*) refused: null value for parameter \"mode\""},
        WriteCase{"BoolOnEnum", ToolType::ROI, [](CameraTool& t) { return t.setParam("mode", true); },
                  "setParam(bool) refused: parameter \"mode\" is ENUM"},
        WriteCase{"TextOnBool", ToolType::ROI, [](CameraTool& t) { return t.setParam("enable", "true"); },
                  "setParam(const char*) refused: parameter \"enable\" is BOOL"},
        WriteCase{"IntOnEnum", ToolType::ANTI_FLICKER, [](CameraTool& t) { return t.setParam("mode", 0); },
                  "setParam(int) refused: parameter \"mode\" is ENUM"},
        WriteCase{"NameIsCaseSensitive", ToolType::ROI, [](CameraTool& t) { return t.setParam("Enable", true); },
                  "setParam(bool) refused: parameter \"Enable\" not found"},
        WriteCase{"NaN", ToolType::ANTI_FLICKER, [](CameraTool& t) { return t.setParam("duty_cycle", kNaN); },
                  "setParam(float) refused: nan is outside [0, 100] for parameter \"duty_cycle\""},
        WriteCase{"Infinity", ToolType::ANTI_FLICKER, [](CameraTool& t) { return t.setParam("duty_cycle", kInfinity); },
                  "setParam(float) refused: inf is outside [0, 100]"},
        WriteCase{"FloatAboveMax", ToolType::ANTI_FLICKER, [](CameraTool& t) { return t.setParam("duty_cycle", 100.5f); },
                  "setParam(float) refused: 100.5 is outside [0, 100]"},
        WriteCase{"WidenedIntAboveMax", ToolType::ANTI_FLICKER, [](CameraTool& t) { return t.setParam("duty_cycle", 101); },
                  "setParam(int) refused: 101 is outside [0, 100]"},
        WriteCase{"RateBelowMin", ToolType::EVENT_RATE_CONTROL,
                  [](CameraTool& t) { return t.setParam("max_event_rate", 0); },
                  "setParam(int) refused: 0 is outside [10000, 1000000000] for parameter \"max_event_rate\""},
        WriteCase{"BiasBelowMin", ToolType::BIAS, [](CameraTool& t) { return t.setParam("bias_hpf", -1); },
                  "setParam(int) refused: -1 is outside [0, 120] for parameter \"bias_hpf\""},
        WriteCase{"StringOnInt", ToolType::BIAS, [](CameraTool& t) { return t.setParam("bias_fo", std::string("1")); },
                  "setParam(string) refused: parameter \"bias_fo\" is INT"}),
    [](const auto& info) { return std::string(info.param.label); });

class AcceptedWrite : public ::testing::TestWithParam<WriteCase> {};

// expected_message holds the value read back, as the valuesOf text.
TEST_P(AcceptedWrite, StoresTheValueSilently) {
    const auto tool = makeImx636Tool(GetParam().tool, "");
    bool written = false;
    EXPECT_EQ(stderrOf([&] { written = GetParam().write(*tool); }), "");
    EXPECT_TRUE(written);
    std::map<std::string, std::string> values;
    EXPECT_EQ(stderrOf([&] { values = valuesOf(*tool); }), "");
    const std::string& expected = GetParam().expected_message;
    const std::string name = expected.substr(0, expected.find('='));
    EXPECT_EQ(values.at(name), expected.substr(name.size() + 1));
}

INSTANTIATE_TEST_SUITE_P(
    Validation, AcceptedWrite,
    ::testing::Values(
        WriteCase{"IntAtMax", ToolType::ROI, [](CameraTool& t) { return t.setParam("x", 1279); }, "x=1279"},
        WriteCase{"IntAtMin", ToolType::BIAS, [](CameraTool& t) { return t.setParam("bias_diff_on", -85); },
                  "bias_diff_on=-85"},
        WriteCase{"OneOnBool", ToolType::ROI, [](CameraTool& t) { return t.setParam("enable", 1); }, "enable=true"},
        WriteCase{"Bool", ToolType::TRIGGER_IN, [](CameraTool& t) { return t.setParam("enable", true); }, "enable=true"},
        WriteCase{"Text", ToolType::ROI, [](CameraTool& t) { return t.setParam("mode", "RONI"); }, "mode=RONI"},
        WriteCase{"String", ToolType::ANTI_FLICKER,
                  [](CameraTool& t) { return t.setParam("mode", std::string("BAND_PASS")); }, "mode=BAND_PASS"},
        WriteCase{"Float", ToolType::ANTI_FLICKER, [](CameraTool& t) { return t.setParam("duty_cycle", 12.5f); },
                  "duty_cycle=12.500000"},
        WriteCase{"IntWidenedToFloat", ToolType::ANTI_FLICKER, [](CameraTool& t) { return t.setParam("duty_cycle", 100); },
                  "duty_cycle=100.000000"},
        WriteCase{"RateAtMin", ToolType::EVENT_RATE_CONTROL,
                  [](CameraTool& t) { return t.setParam("max_event_rate", 10'000); }, "max_event_rate=10000"}),
    [](const auto& info) { return std::string(info.param.label); });

TEST(Imx636Read, LeavesTheValueOnAFailedRead) {
    const auto tool = makeImx636Tool(ToolType::ROI, "");
    int number = 42;
    float fraction = 0.5f;
    bool flag = true;
    std::string text = "kept";
    const std::string log = stderrOf([&] {
        EXPECT_FALSE(tool->getParam("mode", number));
        EXPECT_FALSE(tool->getParam("x", fraction));
        EXPECT_FALSE(tool->getParam("x", flag));
        EXPECT_FALSE(tool->getParam("enable", text));
        EXPECT_FALSE(tool->getParam("nothing", number));
    });
    EXPECT_EQ(number, 42);
    EXPECT_EQ(fraction, 0.5f);
    EXPECT_TRUE(flag);
    EXPECT_EQ(text, "kept");
    EXPECT_EQ(lineCount(log), 5u);
    EXPECT_NE(log.find("getParam(int) refused: parameter \"nothing\" not found"), std::string::npos);
    EXPECT_NE(log.find("getParam(string) refused: parameter \"enable\" is BOOL"), std::string::npos);
}

TEST(Imx636Read, UsesThePrefixedKey) {
    const auto tool = makeImx636Tool(ToolType::TRIGGER_IN, "cam0.");
    bool flag = true;
    ASSERT_TRUE(tool->getParam("enable", flag));
    EXPECT_FALSE(flag);
    EXPECT_NE(stderrOf([&] { EXPECT_FALSE(tool->getParam("cam0.enable", flag)); }).find("not found"), std::string::npos);
}

TEST(Imx636Record, CallsTheSameRegisterAsTheTool) {
    const auto tool = makeImx636Tool(ToolType::ROI, "");
    IntParameterInfo x;
    ASSERT_TRUE(tool->getParamInfo("x", x));
    ASSERT_TRUE(x.first_callback && x.second_callback);
    ASSERT_TRUE(tool->setParam("x", 17));
    EXPECT_EQ(x.first_callback(), 17);
    x.second_callback(23);
    int value = 0;
    ASSERT_TRUE(tool->getParam("x", value));
    EXPECT_EQ(value, 23);
}

// A tool with entries no real tool makes: a detail that contradicts the type, and empty callbacks.
class BrokenTool : public CameraToolRegisterWithCallback {
public:
    BrokenTool() : CameraToolRegisterWithCallback("", std::make_shared<RegisterFile>()) {
        registerParameter(entryOf("mismatched", ToolParameterType::INT, BoolParameterInfo{}));
        registerParameter(entryOf("silent", ToolParameterType::INT, IntParameterInfo{0, 10, 0, "", {}, {}}));
        registerParameter(entryOf("label", ToolParameterType::STRING, EnumParameterInfo{}));
    }
    ToolInfo getToolInfo() override { return {}; }
};

TEST(BrokenEntry, IsRefusedWithOneLineAndNeverCrashes) {
    BrokenTool tool;
    for (const char* name : {"mismatched", "silent"}) {
        int value = 5;
        EXPECT_EQ(lineCount(stderrOf([&] { EXPECT_FALSE(tool.getParam(name, value)); })), 1u);
        EXPECT_EQ(lineCount(stderrOf([&] { EXPECT_FALSE(tool.setParam(name, 3)); })), 1u);
        EXPECT_EQ(value, 5);
    }
    std::string text = "kept";
    EXPECT_EQ(lineCount(stderrOf([&] { EXPECT_FALSE(tool.getParam("label", text)); })), 1u);
    EXPECT_EQ(lineCount(stderrOf([&] { EXPECT_FALSE(tool.setParam("label", std::string("x"))); })), 1u);
    EXPECT_EQ(text, "kept");
    IntParameterInfo info;
    EXPECT_THROW(tool.getParamInfo("mismatched", info), std::bad_variant_access);
}

TEST(RegisterFileAccess, ChecksAddressesAndKinds) {
    RegisterFile registers;
    registers.define("a", std::int32_t{1});
    registers.define("a", std::int32_t{2});
    EXPECT_EQ(registers.get<std::int32_t>("a"), 1);
    EXPECT_THROW(registers.define("a", true), std::invalid_argument);
    EXPECT_THROW(registers.write("a", 1.0f), std::invalid_argument);
    EXPECT_THROW(registers.write("b", std::int32_t{1}), std::out_of_range);
    EXPECT_THROW(registers.read("b"), std::out_of_range);
    registers.write("a", std::int32_t{3});
    EXPECT_EQ(registers.get<std::int32_t>("a"), 3);
}

TEST(RegisterFileAccess, ReadsSeveralRegistersInTheOrderAsked) {
    RegisterFile registers;
    registers.define("a", std::int32_t{1});
    registers.define("b", std::string("mode"));
    registers.define("c", true);
    const std::vector<RegisterFile::Value> values = registers.readTogether({"c", "a", "b", "a"});
    EXPECT_EQ(values, (std::vector<RegisterFile::Value>{true, std::int32_t{1}, std::string("mode"), std::int32_t{1}}));
    EXPECT_TRUE(registers.readTogether({}).empty());
    try {
        registers.readTogether({"a", "missing"});
        ADD_FAILURE() << "read an undefined register";
    } catch (const std::out_of_range& error) {
        EXPECT_NE(std::string(error.what()).find("missing"), std::string::npos);
    }
}

struct DefaultCase {
    const char* label;
    std::function<bool(CameraTool&)> call;
    std::string expected_message;
};

std::ostream& operator<<(std::ostream& out, const DefaultCase& c) { return out << c.label; }

class DefaultAccess : public ::testing::TestWithParam<DefaultCase> {};

// Each call is true when the refusal failed or touched the out-value.
TEST_P(DefaultAccess, RefusesAndNamesTheOverload) {
    // Keeps every default value access of the interface.
    testing_support::RegistryTool tool("");
    bool result = true;
    const std::string log = stderrOf([&] { result = GetParam().call(tool); });
    EXPECT_FALSE(result);
    EXPECT_EQ(lineCount(log), 1u);
    EXPECT_EQ(log.rfind("[WARNING] " + GetParam().expected_message + " (hal/CameraTool.cpp:", 0), 0u) << log;
}

INSTANTIATE_TEST_SUITE_P(
    Overloads, DefaultAccess,
    ::testing::Values(
        DefaultCase{"GetInt", [](CameraTool& t) { int v = 7; return t.getParam("x", v) || v != 7; },
                    "getParam(int) is not supported by this tool: parameter \"x\""},
        DefaultCase{"GetFloat", [](CameraTool& t) { float v = 1; return t.getParam("x", v) || v != 1; },
                    "getParam(float) is not supported by this tool: parameter \"x\""},
        DefaultCase{"GetBool", [](CameraTool& t) { bool v = true; return t.getParam("x", v) || !v; },
                    "getParam(bool) is not supported by this tool: parameter \"x\""},
        DefaultCase{"GetString", [](CameraTool& t) { std::string v = "k"; return t.getParam("x", v) || v != "k"; },
                    "getParam(string) is not supported by this tool: parameter \"x\""},
        DefaultCase{"SetInt", [](CameraTool& t) { return t.setParam("enable", 1); },
                    "setParam(int) is not supported by this tool: parameter \"enable\", value 1"},
        DefaultCase{"SetFloat", [](CameraTool& t) { return t.setParam("x", 0.5f); },
                    "setParam(float) is not supported by this tool: parameter \"x\", value 0.5"},
        DefaultCase{"SetDouble", [](CameraTool& t) { return t.setParam("x", 2.25); },
                    "setParam(double) is not supported by this tool: parameter \"x\", value 2.25"},
        DefaultCase{"SetBool", [](CameraTool& t) { return t.setParam("x", false); },
                    "setParam(bool) is not supported by this tool: parameter \"x\", value false"},
        DefaultCase{"SetText", [](CameraTool& t) { return t.setParam("x", "on"); },
                    "setParam(const char*) is not supported by this tool: parameter \"x\", value \"on\""},
        DefaultCase{"SetNullText", [](CameraTool& t) { return t.setParam("x", static_cast<const char*>(nullptr)); },
                    "setParam(const char*) is not supported by this tool: parameter \"x\", value null"},
        DefaultCase{"SetString", [](CameraTool& t) { return t.setParam("x", std::string("on")); },
                    "setParam(string) is not supported by this tool: parameter \"x\", value \"on\""}),
    [](const auto& info) { return std::string(info.param.label); });

}  // namespace
}  // namespace velmo

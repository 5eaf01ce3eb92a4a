#include "TestSupport.h"

#include <variant>

namespace velmo {
namespace {

using testing_support::entryOf;
using testing_support::RegistryTool;
using testing_support::stderrOf;

const std::string kNotFoundLine = " (camera/tools/CameraToolPrivate.h:72)\n";
const std::string kWrongTypeLine = " (camera/tools/CameraToolPrivate.h:76)\n";

// The registry of a tool whose INT parameter reads and writes `stored`.
class Registry : public ::testing::Test {
protected:
    Registry() : tool("cam.") {
        IntParameterInfo exposure;
        exposure.min = -5;
        exposure.max = 10;
        exposure.default_value = 3;
        exposure.unit = "ms";
        exposure.first_callback = [this] { return stored; };
        exposure.second_callback = [this](std::int32_t value) { stored = value; };
        tool.add(entryOf("exposure", ToolParameterType::INT, exposure, "time"));
        FloatParameterInfo gain;
        gain.max = 1.5f;
        gain.unit = "dB";
        tool.add(entryOf("gain", ToolParameterType::FLOAT, gain));
        BoolParameterInfo enable;
        enable.default_value = true;
        tool.add(entryOf("enable", ToolParameterType::BOOL, enable));
        EnumParameterInfo mode;
        mode.options = {"A", "B"};
        mode.default_value = "B";
        tool.add(entryOf("mode", ToolParameterType::ENUM, mode));
        tool.add(entryOf("label", ToolParameterType::STRING, EnumParameterInfo{}));
    }

    std::int32_t stored = 0;
    RegistryTool tool;
};

TEST_F(Registry, FindsEachTypedRecordUnderPrefixAndName) {
    IntParameterInfo exposure;
    EXPECT_EQ(stderrOf([&] { EXPECT_TRUE(tool.getParamInfo("exposure", exposure)); }), "");
    EXPECT_EQ(exposure.toString(), "Min: -5 Max: 10 Default: 3 Unit: ms");
    ASSERT_TRUE(exposure.first_callback && exposure.second_callback);
    exposure.second_callback(8);
    EXPECT_EQ(stored, 8);
    EXPECT_EQ(exposure.first_callback(), 8);

    FloatParameterInfo gain;
    EXPECT_TRUE(tool.getParamInfo("gain", gain));
    EXPECT_EQ(gain.toString(), "Min: 0.000000 Max: 1.500000 Default: 0.000000 Unit: dB");
    BoolParameterInfo enable;
    EXPECT_TRUE(tool.getParamInfo("enable", enable));
    EXPECT_TRUE(enable.default_value);
    EnumParameterInfo mode;
    EXPECT_TRUE(tool.getParamInfo("mode", mode));
    EXPECT_EQ(mode.options, (std::vector<std::string>{"A", "B"}));
    EXPECT_EQ(mode.default_value, "B");
    EXPECT_FALSE(mode.first_callback);
}

TEST_F(Registry, ReplacesWhatTheOutRecordHeldOnSuccess) {
    IntParameterInfo info;
    info.unit = "old";
    info.first_callback = [] { return 99; };
    ASSERT_TRUE(tool.getParamInfo("exposure", info));
    stored = 4;
    EXPECT_EQ(info.first_callback(), 4);
    EXPECT_EQ(info.unit, "ms");
}

struct LookupCase {
    std::string name;
    std::string expected_log;
};

void PrintTo(const LookupCase& c, std::ostream* out) { *out << c.name; }

class RegistryMiss : public Registry, public ::testing::WithParamInterface<LookupCase> {};

// Every overload is tried with every name, so a miss and a type mismatch both show.
TEST_P(RegistryMiss, LeavesTheRecordAndLogsOneLine) {
    IntParameterInfo int_info;
    int_info.unit = "kept";
    const std::string log = stderrOf([&] { EXPECT_FALSE(tool.getParamInfo(GetParam().name, int_info)); });
    EXPECT_EQ(log, GetParam().expected_log);
    EXPECT_EQ(int_info.unit, "kept");
}

INSTANTIATE_TEST_SUITE_P(
    Lookups, RegistryMiss,
    ::testing::Values(LookupCase{"Exposure", "[WARNING] Parameter cam.Exposure not found" + kNotFoundLine},
                      LookupCase{"exposure ", "[WARNING] Parameter cam.exposure  not found" + kNotFoundLine},
                      LookupCase{"expo", "[WARNING] Parameter cam.expo not found" + kNotFoundLine},
                      LookupCase{"cam.exposure", "[WARNING] Parameter cam.cam.exposure not found" + kNotFoundLine},
                      LookupCase{"", "[WARNING] Parameter cam. not found" + kNotFoundLine},
                      LookupCase{"gain", "[WARNING] Parameter cam.gain is not of type INT" + kWrongTypeLine},
                      LookupCase{"label", "[WARNING] Parameter cam.label is not of type INT" + kWrongTypeLine}));

TEST_F(Registry, RejectsTheOverloadOfAnotherType) {
    FloatParameterInfo as_float;
    as_float.unit = "kept";
    EXPECT_EQ(stderrOf([&] { EXPECT_FALSE(tool.getParamInfo("exposure", as_float)); }),
              "[WARNING] Parameter cam.exposure is not of type FLOAT" + kWrongTypeLine);
    EXPECT_EQ(as_float.unit, "kept");

    EnumParameterInfo as_enum;
    as_enum.options = {"kept"};
    EXPECT_EQ(stderrOf([&] { EXPECT_FALSE(tool.getParamInfo("label", as_enum)); }),
              "[WARNING] Parameter cam.label is not of type ENUM" + kWrongTypeLine);
    EXPECT_EQ(as_enum.options, std::vector<std::string>{"kept"});

    BoolParameterInfo as_bool;
    as_bool.default_value = true;
    EXPECT_EQ(stderrOf([&] { EXPECT_FALSE(tool.getParamInfo("mode", as_bool)); }),
              "[WARNING] Parameter cam.mode is not of type BOOL" + kWrongTypeLine);
    EXPECT_TRUE(as_bool.default_value);
}

TEST_F(Registry, ListsEveryParameterByNameInNameOrder) {
    const auto table = tool.getAllParamInfo();
    std::vector<std::string> names;
    for (const auto& [name, info] : table) {
        names.push_back(name);
        EXPECT_EQ(info.name, name);
    }
    EXPECT_EQ(names, (std::vector<std::string>{"enable", "exposure", "gain", "label", "mode"}));
    EXPECT_EQ(table.at("label").type, ToolParameterType::STRING);
    EXPECT_EQ(table.at("exposure").toString(), "Name: exposure Description: time Type: INT");
}

TEST(RegistryEmpty, ListsNothingAndFindsNothing) {
    RegistryTool tool("");
    EXPECT_TRUE(tool.getAllParamInfo().empty());
    BoolParameterInfo info;
    EXPECT_EQ(stderrOf([&] { EXPECT_FALSE(tool.getParamInfo("enable", info)); }),
              "[WARNING] Parameter enable not found" + kNotFoundLine);
}

TEST(RegistryDuplicates, KeepsTheRecordWhoseKeySortsLast) {
    RegistryTool tool("");
    tool.addUnderKey("b_x", entryOf("x", ToolParameterType::BOOL, BoolParameterInfo{}, "from b"));
    tool.addUnderKey("a_x", entryOf("x", ToolParameterType::INT, IntParameterInfo{}, "from a"));
    const auto table = tool.getAllParamInfo();
    ASSERT_EQ(table.size(), 1u);
    EXPECT_EQ(table.at("x").description, "from b");
    EXPECT_EQ(table.at("x").type, ToolParameterType::BOOL);
}

TEST(RegistryBroken, LetsBadVariantAccessThroughAndKeepsTheRecord) {
    RegistryTool tool("");
    tool.add(entryOf("broken", ToolParameterType::INT, BoolParameterInfo{}));
    IntParameterInfo info;
    info.unit = "kept";
    EXPECT_THROW(tool.getParamInfo("broken", info), std::bad_variant_access);
    EXPECT_EQ(info.unit, "kept");
}

TEST(ParameterEntryDefault, IsANamedBoolPlaceholder) {
    const ParameterEntry entry;
    EXPECT_EQ(entry.basic.toString(), "Name: NotDefined Description: not defined Type: BOOL");
    ASSERT_TRUE(std::holds_alternative<BoolParameterInfo>(entry.detail));
    EXPECT_FALSE(std::get<BoolParameterInfo>(entry.detail).first_callback);
}

TEST(RegistryCopy, IsIndependentOfTheTool) {
    RegistryTool tool("");
    tool.add(entryOf("x", ToolParameterType::INT, IntParameterInfo{}, "original"));
    auto table = tool.getAllParamInfo();
    table.at("x").description = "changed";
    EXPECT_EQ(tool.getAllParamInfo().at("x").description, "original");
}

}  // namespace
}  // namespace velmo

#include "TestSupport.h"

#include <VelmoHal/device/RawEventStreamFormat.h>

namespace velmo {
namespace {

using testing_support::stderrOf;

struct ValidFormat {
    std::string text;
    RawEventStreamEncodingType encoding;
    std::string encoding_text;
    std::map<std::string, std::string> options;
    std::uint16_t width;
    std::uint16_t height;
};

class FormatParse : public ::testing::TestWithParam<ValidFormat> {};

TEST_P(FormatParse, ReadsEncodingAndOptionsExactly) {
    const ValidFormat& c = GetParam();
    const RawEventStreamFormat format(c.text);
    EXPECT_EQ(format.getEncodingType(), c.encoding);
    EXPECT_EQ(format.getEncodingTypeStr(), c.encoding_text);
    EXPECT_EQ(format.width(), c.width);
    EXPECT_EQ(format.height(), c.height);
    for (const auto& [name, value] : c.options) {
        EXPECT_TRUE(format.contains(name)) << name;
        EXPECT_EQ(format[name], value) << name;
    }
}

using Options = std::map<std::string, std::string>;
constexpr auto kEvt3 = RawEventStreamEncodingType::EVT3;
constexpr auto kUnknown = RawEventStreamEncodingType::UNKNOWN;

INSTANTIATE_TEST_SUITE_P(
    Valid, FormatParse,
    ::testing::Values(ValidFormat{"EVT3;height=720;width=1280", kEvt3, "EVT3", {{"height", "720"}, {"width", "1280"}}, 1280, 720},
                      ValidFormat{"EVT3", kEvt3, "EVT3", {}, 0, 0},
                      ValidFormat{"EVT21;width=1;height=65535", kUnknown, "EVT21", {{"width", "1"}}, 1, 65535},
                      ValidFormat{"evt3", kUnknown, "evt3", {}, 0, 0},
                      ValidFormat{" EVT3", kUnknown, " EVT3", {}, 0, 0},
                      ValidFormat{"EVT3;note=", kEvt3, "EVT3", {{"note", ""}}, 0, 0},
                      ValidFormat{"EVT3;a=b=c", kEvt3, "EVT3", {{"a", "b=c"}}, 0, 0},
                      ValidFormat{"EVT3; width=x", kEvt3, "EVT3", {{" width", "x"}}, 0, 0},
                      ValidFormat{"EVT3;width=00042", kEvt3, "EVT3", {{"width", "00042"}}, 42, 0}));

struct MalformedFormat {
    std::string text;
    std::string reason;
};

class FormatReject : public ::testing::TestWithParam<MalformedFormat> {};

TEST_P(FormatReject, SaysWhatIsWrongAndWhere) {
    try {
        RawEventStreamFormat format(GetParam().text);
        ADD_FAILURE() << "accepted " << GetParam().text;
    } catch (const std::invalid_argument& error) {
        EXPECT_NE(std::string(error.what()).find(GetParam().reason), std::string::npos) << error.what();
    }
}

INSTANTIATE_TEST_SUITE_P(
    Malformed, FormatReject,
    ::testing::Values(MalformedFormat{"", "the text is empty"},
                      MalformedFormat{";width=1", "the encoding name (before the first ';') is empty"},
                      MalformedFormat{"EVT3;", "option 1 at character 5 (\"\") has no '='"},
                      MalformedFormat{"EVT3;;width=1", "option 1 at character 5 (\"\") has no '='"},
                      MalformedFormat{"EVT3;=5", "option 1 at character 5 (\"=5\") has an empty name"},
                      MalformedFormat{"EVT3;width=1;flip", "option 2 at character 13 (\"flip\") has no '='"},
                      MalformedFormat{"EVT3;a=1;a=2", "option 2 at character 9 repeats the name \"a\""},
                      MalformedFormat{"EVT3;width=0", "option \"width\" at character 5 is 0"},
                      MalformedFormat{"EVT3;width=65536", "is 65536; expected an integer from 1 to 65535"},
                      MalformedFormat{"EVT3;height=99999999999999999999", "expected an integer from 1 to 65535"},
                      MalformedFormat{"EVT3;width=-1", "is \"-1\""}, MalformedFormat{"EVT3;width=+5", "is \"+5\""},
                      MalformedFormat{"EVT3;width= 5", "is \" 5\""}, MalformedFormat{"EVT3;height=1e3", "is \"1e3\""},
                      MalformedFormat{"EVT3;height=", "option \"height\" at character 5 is empty"}));

TEST(FormatOption, MissingNameThrowsOutOfRangeNamingIt) {
    const RawEventStreamFormat format("EVT3;width=1280");
    EXPECT_FALSE(format.contains("depth"));
    EXPECT_FALSE(format.contains("Width"));
    try {
        (void)format["depth"];
        ADD_FAILURE() << "found a missing option";
    } catch (const std::out_of_range& error) {
        EXPECT_NE(std::string(error.what()).find("\"depth\""), std::string::npos) << error.what();
    }
}

TEST(LoggerLine, IsWholeOnOneLineWithLevelMessageAndPlace) {
    Logger logger;
    const std::string long_text(10'000, 'x');
    const std::string log = stderrOf([&] {
        logger.log_(LogLevelType::ERROR, "some/file.h", 12, "%s=%d [%s]", long_text.c_str(), -3, "two\nlines");
    });
    EXPECT_EQ(log, "[ERROR] " + long_text + "=-3 [two\\nlines] (some/file.h:12)\n");
}

TEST(LoggerLine, NamesEachLevel) {
    Logger logger;
    EXPECT_EQ(stderrOf([&] { logger.log_(LogLevelType::TRACE, "f", 1, "a"); }), "[TRACE] a (f:1)\n");
    EXPECT_EQ(stderrOf([&] { logger.log_(LogLevelType::INFO, "f", 2, "%s", ""); }), "[INFO]  (f:2)\n");
    EXPECT_STREQ(logLevelName(LogLevelType::WARNING), "WARNING");
    EXPECT_STREQ(logLevelName(static_cast<LogLevelType>(42)), "UNKNOWN");
}

}  // namespace
}  // namespace velmo

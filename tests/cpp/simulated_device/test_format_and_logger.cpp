#include "TestSupport.h"

#include <VelmoCodec/QuotedText.h>
#include <VelmoHal/device/RawEventStreamFormat.h>
#include <VelmoSim/LogSink.h>

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

// Without a printer GoogleTest shows a parameter as its raw bytes, padding and unused string
// storage included, which hold no defined value (valgrind reports every such read).
void PrintTo(const ValidFormat& format, std::ostream* out) { *out << format.text; }

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

void PrintTo(const MalformedFormat& format, std::ostream* out) { *out << format.text; }

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
                      MalformedFormat{"EVT3;width=0", "option \"width\" at character 5 is \"0\""},
                      MalformedFormat{"EVT3;width=65536", "is \"65536\"; expected an integer from 1 to 65535"},
                      MalformedFormat{"EVT3;height=99999999999999999999", "expected an integer from 1 to 65535"},
                      // Out of range before a byte that is no digit: the whole value is escaped.
                      MalformedFormat{"EVT3;width=70000\xff", "is \"70000\\xff\"; expected"},
                      MalformedFormat{std::string("EVT3;width=70000\0abc", 20), "is \"70000\\x00abc\"; expected"},
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

struct QuotedText {
    std::string text;
    std::string quoted;
};

void PrintTo(const QuotedText& text, std::ostream* out) { *out << text.quoted; }

class MessageQuoting : public ::testing::TestWithParam<QuotedText> {};

TEST_P(MessageQuoting, KeepsWellFormedUtf8AndEscapesEverythingElse) {
    EXPECT_EQ(quotedForMessage(GetParam().text), GetParam().quoted);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, MessageQuoting,
    ::testing::Values(QuotedText{"", R"("")"}, QuotedText{"width", R"("width")"},
                      QuotedText{R"(say "hi" \ )", R"("say \"hi\" \\ ")"},
                      QuotedText{std::string("a\0b", 3), R"("a\x00b")"},
                      QuotedText{"two\nlines\r\t\x7f", R"("two\x0alines\x0d\x09\x7f")"},
                      QuotedText{"\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80 \xf4\x8f\xbf\xbf",
                                 "\"\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80 \xf4\x8f\xbf\xbf\""},
                      QuotedText{"\xff\xfe", R"("\xff\xfe")"},
                      QuotedText{"a\xc3", R"("a\xc3")"},
                      QuotedText{"\xe2\x82" "b", R"("\xe2\x82b")"},
                      QuotedText{"\xc0\xaf", R"("\xc0\xaf")"},
                      QuotedText{"\xe0\x80\x80", R"("\xe0\x80\x80")"},
                      QuotedText{"\xed\xa0\x80", R"("\xed\xa0\x80")"},
                      QuotedText{"\xf0\x80\x80\x80", R"("\xf0\x80\x80\x80")"},
                      QuotedText{"\xf4\x90\x80\x80", R"("\xf4\x90\x80\x80")"},
                      QuotedText{"\xc3\xa9\xa9", "\"\xc3\xa9\\xa9\""}));

TEST(FormatMessages, ShowTheTextWholeAndDecodable) {
    try {
        RawEventStreamFormat format(std::string("EVT3;wi\0dth\xff", 12));
        ADD_FAILURE() << "accepted a pair without '='";
    } catch (const std::invalid_argument& error) {
        EXPECT_NE(std::string(error.what()).find(R"("EVT3;wi\x00dth\xff")"), std::string::npos) << error.what();
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

struct SunkLine {
    LogLevelType level;
    std::string message;
    std::string file;
    int line;
};

std::vector<SunkLine> sunkLines;

void keepLine(LogLevelType level, const char* message, const char* file, int line) {
    sunkLines.push_back({level, message, file, line});
}

TEST(LoggerSink, TakesEachLineInsteadOfStandardErrorUntilUnset) {
    Logger logger;
    sunkLines.clear();
    setLogSink(&keepLine);
    const std::string written = stderrOf([&] {
        logger.log_(LogLevelType::NOTICE, nullptr, 7, "%s=%d", "two\nlines", 4);
    });
    setLogSink(nullptr);
    EXPECT_EQ(written, "");
    ASSERT_EQ(sunkLines.size(), 1u);
    EXPECT_EQ(sunkLines[0].level, LogLevelType::NOTICE);
    EXPECT_EQ(sunkLines[0].message, "two\\nlines=4");
    EXPECT_EQ(sunkLines[0].file, "unknown file");
    EXPECT_EQ(sunkLines[0].line, 7);
    EXPECT_EQ(stderrOf([&] { logger.log_(LogLevelType::INFO, "f", 2, "back"); }), "[INFO] back (f:2)\n");
    EXPECT_EQ(sunkLines.size(), 1u);
}

}  // namespace
}  // namespace velmo

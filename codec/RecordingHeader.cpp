#include <VelmoCodec/RecordingHeader.h>

#include "FileAccess.h"

#include <cstdio>
#include <ctime>
#include <limits>
#include <map>
#include <stdexcept>
#include <string_view>
#include <utility>

namespace velmo {

using files::refuseFile;

namespace {

constexpr std::string_view kVersionPrefix = "version: ";
constexpr const char* kEndLine = "end-header";
constexpr const char* kUnfinished = "unfinished";
// Far beyond any camera's time, and far enough below 2^64 that a position plus any span read
// stays exact: header times past it are refused.
constexpr std::uint64_t kLatestTimeUs = std::uint64_t{1} << 62;
// The two fields the writer fills in when it finishes: wide enough for any 64-bit value.
constexpr std::size_t kFieldWidth = 20;

const char* typeName(ToolParameterType type) {
    switch (type) {
        case ToolParameterType::INT: return "int";
        case ToolParameterType::FLOAT: return "float";
        case ToolParameterType::BOOL: return "bool";
        case ToolParameterType::STRING: return "string";
        case ToolParameterType::ENUM: return "enum";
    }
    return "unknown";
}

std::optional<ToolParameterType> typeNamed(const std::string& name) {
    for (const ToolParameterType type : {ToolParameterType::INT, ToolParameterType::FLOAT, ToolParameterType::BOOL,
                                         ToolParameterType::STRING, ToolParameterType::ENUM}) {
        if (name == typeName(type)) return type;
    }
    return std::nullopt;
}

std::string fixedField(std::optional<std::uint64_t> value) {
    std::string text = value ? std::to_string(*value) : kUnfinished;
    if (value) text.insert(0, kFieldWidth - text.size(), '0');
    text.resize(kFieldWidth, ' ');
    return text;
}

// A whole unsigned decimal number, or nothing.
std::optional<std::uint64_t> parseNumber(const std::string& text) {
    if (text.empty() || text.size() > kFieldWidth) return std::nullopt;
    std::uint64_t value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        const std::uint64_t digit = static_cast<std::uint64_t>(c - '0');
        if (value > (std::numeric_limits<std::uint64_t>::max() - digit) / 10) return std::nullopt;
        value = value * 10 + digit;
    }
    return value;
}

std::string trimmedRight(std::string text) {
    while (!text.empty() && text.back() == ' ') text.pop_back();
    return text;
}

// Reads the header's lines, key by key, refusing what a writer of this version never writes.
class HeaderParser {
public:
    explicit HeaderParser(const std::string& path) : path_(path) {}

    void line(const std::string& text, std::size_t number) {
        const std::size_t colon = text.find(": ");
        if (colon == std::string::npos) fail(number, "expected \"key: value\"");
        const std::string key = text.substr(0, colon);
        const std::string value = text.substr(colon + 2);
        if (key == "setting") {
            setting(value, number);
            return;
        }
        if (!fields_.emplace(key, std::make_pair(value, number)).second) fail(number, "a second " + key);
    }

    RecordingHeader finish() {
        header_.raw_format = take("raw-format");
        header_.camera.serial = take("serial");
        header_.camera.product = take("product");
        header_.camera.manufacturer = take("manufacturer");
        header_.camera.vid = static_cast<std::uint16_t>(number("vid", 0xFFFF));
        header_.camera.pid = static_cast<std::uint16_t>(number("pid", 0xFFFF));
        header_.camera.interfaceType = static_cast<INTERFACE_TYPE>(number("interface", 0xFFFFFFFF));
        header_.recorded_at = take("recorded-at");
        header_.start_us = number("start-us", kLatestTimeUs);
        header_.data_bytes = finishedField("data-bytes");
        header_.end_us = finishedField("end-us");
        if (header_.data_bytes.has_value() != header_.end_us.has_value())
            refuseFile(path_, "bad header: data-bytes and end-us are not both finished");
        if (header_.end_us && *header_.end_us < header_.start_us)
            refuseFile(path_, "bad header: end-us comes before start-us");
        // A writer's data carries a TIME_HIGH word at least every 2^23 us from time 0 on, so its
        // size bounds the span it can reach.
        if (header_.end_us && ((*header_.end_us - header_.start_us) >> 23) > *header_.data_bytes / 2 + 1)
            refuseFile(path_, "bad header: its " + std::to_string(*header_.data_bytes) +
                                  " bytes of data cannot reach end-us " + std::to_string(*header_.end_us));
        return header_;
    }

private:
    [[noreturn]] void fail(std::size_t number, const std::string& reason) const {
        refuseFile(path_, "bad header, line " + std::to_string(number) + ": " + reason);
    }

    void setting(const std::string& value, std::size_t number) {
        // TOOL NAME TYPE VALUE, the value running to the end of the line.
        std::size_t start = 0;
        std::string parts[3];
        for (std::string& part : parts) {
            const std::size_t space = value.find(' ', start);
            if (space == std::string::npos) fail(number, "a setting is \"TOOL NAME TYPE VALUE\"");
            part = value.substr(start, space - start);
            start = space + 1;
        }
        const std::optional<ToolParameterType> type = typeNamed(parts[2]);
        if (!type) fail(number, "unknown parameter type \"" + parts[2] + "\"");
        header_.settings.push_back(RecordedSetting{parts[0], parts[1], *type, value.substr(start)});
    }

    std::pair<std::string, std::size_t> field(const std::string& key) {
        const auto found = fields_.find(key);
        if (found == fields_.end()) refuseFile(path_, "bad header: no " + key);
        return found->second;
    }

    std::string take(const std::string& key) { return field(key).first; }

    std::uint64_t number(const std::string& key, std::uint64_t max) {
        const auto [text, line_number] = field(key);
        const std::optional<std::uint64_t> value = parseNumber(text);
        if (!value || *value > max) fail(line_number, key + " is not a number up to " + std::to_string(max));
        return *value;
    }

    std::optional<std::uint64_t> finishedField(const std::string& key) {
        const auto [raw, line_number] = field(key);
        const std::string text = trimmedRight(raw);
        if (text == kUnfinished) return std::nullopt;
        const std::optional<std::uint64_t> value = parseNumber(text);
        if (!value || *value > kLatestTimeUs)
            fail(line_number, key + " is neither a number up to " + std::to_string(kLatestTimeUs) + " nor " + kUnfinished);
        return value;
    }

    std::string path_;
    RecordingHeader header_;
    std::map<std::string, std::pair<std::string, std::size_t>> fields_;
};

}  // namespace

std::string utcTimestampNow() {
    const std::time_t now = std::time(nullptr);
    std::tm utc{};
    gmtime_r(&now, &utc);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
    return text;
}

RecordingHeaderText recordingHeaderText(const RecordingHeader& header) {
    std::string text = std::string(kRecordingMagicLine) + "\n" + std::string(kVersionPrefix) +
                       std::to_string(RecordingHeader::kFormatVersion) + "\n";
    auto add = [&](const std::string& key, const std::string& value) {
        if (value.find_first_of("\r\n") != std::string::npos)
            throw std::invalid_argument("the recording header's " + key + " holds a line break");
        text += key + ": " + value + "\n";
    };
    add("raw-format", header.raw_format);
    add("serial", header.camera.serial);
    add("product", header.camera.product);
    add("manufacturer", header.camera.manufacturer);
    add("vid", std::to_string(header.camera.vid));
    add("pid", std::to_string(header.camera.pid));
    add("interface", std::to_string(static_cast<std::uint32_t>(header.camera.interfaceType)));
    add("recorded-at", header.recorded_at);
    add("start-us", std::to_string(header.start_us));
    for (const RecordedSetting& setting : header.settings) {
        if (setting.tool.find(' ') != std::string::npos || setting.name.find(' ') != std::string::npos)
            throw std::invalid_argument("the setting " + setting.tool + " " + setting.name + " holds a space in its name");
        add("setting", setting.tool + " " + setting.name + " " + typeName(setting.type) + " " + setting.value);
    }
    const std::size_t data_bytes_at = text.size() + std::string("data-bytes: ").size();
    add("data-bytes", fixedField(std::nullopt));
    const std::size_t end_us_at = text.size() + std::string("end-us: ").size();
    add("end-us", fixedField(std::nullopt));
    text += std::string(kEndLine) + "\n";
    return {text, data_bytes_at, end_us_at};
}

std::string finishedHeaderField(std::uint64_t value) { return fixedField(value); }

RecordingHeader parseRecordingHeader(const std::string& path, const std::string& text, std::size_t& header_bytes) {
    std::size_t line_start = 0;
    std::size_t number = 0;
    HeaderParser parser(path);
    bool ended = false;
    while (!ended) {
        const std::size_t newline = text.find('\n', line_start);
        if (newline == std::string::npos) {
            // Bytes that could still be the start of the first line are a recording cut short.
            if (number == 0 && (text.empty() || kRecordingMagicLine.substr(0, text.size()) != text))
                refuseFile(path, "not a recording (it does not begin with \"" + std::string(kRecordingMagicLine) + "\")");
            refuseFile(path, text.size() < kMaxRecordingHeaderBytes ? "cut short inside its header"
                                                                    : "bad header: no end-header line in its first " +
                                                                          std::to_string(kMaxRecordingHeaderBytes) + " bytes");
        }
        const std::string line = text.substr(line_start, newline - line_start);
        line_start = newline + 1;
        ++number;
        if (number == 1) {
            if (line != kRecordingMagicLine)
                refuseFile(path, "not a recording (it does not begin with \"" + std::string(kRecordingMagicLine) + "\")");
        } else if (number == 2) {
            const std::optional<std::uint64_t> version =
                line.rfind(kVersionPrefix, 0) == 0 ? parseNumber(line.substr(kVersionPrefix.size())) : std::nullopt;
            if (!version) refuseFile(path, "bad header, line 2: expected \"version: N\"");
            if (*version > RecordingHeader::kFormatVersion)
                refuseFile(path, "recording format version " + std::to_string(*version) +
                                     " is newer than this library reads (up to " +
                                     std::to_string(RecordingHeader::kFormatVersion) + ")");
            if (*version == 0) refuseFile(path, "bad header, line 2: there is no format version 0");
        } else if (line == kEndLine) {
            ended = true;
        } else {
            parser.line(line, number);
        }
    }
    header_bytes = line_start;
    return parser.finish();
}

}  // namespace velmo

#include <VelmoHal/device/Logger.h>

#include <atomic>
#include <cstdarg>
#include <cstddef>
#include <cstdio>
#include <string>
#include <string_view>

namespace velmo {

namespace {

// Line breaks in a message would split one record over several lines (and let a parameter
// name forge a record of its own), so they are written as escapes.
void appendOnOneLine(std::string& line, std::string_view text) {
    for (const char c : text) {
        switch (c) {
            case '\n': line += "\\n"; break;
            case '\r': line += "\\r"; break;
            default: line += c;
        }
    }
}

std::string formatMessage(const char* format, std::va_list arguments) {
    std::va_list measuring;
    va_copy(measuring, arguments);
    const int length = std::vsnprintf(nullptr, 0, format, measuring);
    va_end(measuring);
    if (length < 0) return std::string("(unprintable message: ") + format + ")";
    std::string message(static_cast<std::size_t>(length), '\0');
    std::vsnprintf(message.data(), message.size() + 1, format, arguments);
    return message;
}

// The length of the well-formed UTF-8 sequence that starts at text[at], or 0 when the bytes
// there are none. Well-formed as a strict decoder (Python's included) demands: no overlong
// forms, no surrogates, nothing above U+10FFFF.
std::size_t utf8SequenceLength(std::string_view text, std::size_t at) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(at);
    if (lead < 0x80) return 1;
    std::size_t length = 0;
    unsigned char second_min = 0x80;
    unsigned char second_max = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        if (lead == 0xE0) second_min = 0xA0;
        if (lead == 0xED) second_max = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        if (lead == 0xF0) second_min = 0x90;
        if (lead == 0xF4) second_max = 0x8F;
    } else {
        return 0;
    }
    if (text.size() - at < length) return 0;
    if (byte(at + 1) < second_min || byte(at + 1) > second_max) return 0;
    for (std::size_t i = 2; i < length; ++i) {
        if ((byte(at + i) & 0xC0) != 0x80) return 0;
    }
    return length;
}

void appendByteEscape(std::string& out, unsigned char byte) {
    constexpr char kHexDigits[] = "0123456789abcdef";
    out += "\\x";
    out += kHexDigits[byte >> 4];
    out += kHexDigits[byte & 0xF];
}

// Read on every message from any thread: an atomic, so the logger needs no lock of its own.
std::atomic<LogSink> logSink{nullptr};

}  // namespace

void setLogSink(LogSink sink) { logSink.store(sink); }

std::string quotedForMessage(std::string_view text) {
    std::string quoted = "\"";
    for (std::size_t at = 0; at < text.size();) {
        const auto byte = static_cast<unsigned char>(text[at]);
        if (byte == '"' || byte == '\\') {
            quoted += '\\';
            quoted += static_cast<char>(byte);
            ++at;
            continue;
        }
        const std::size_t length = byte < 0x20 || byte == 0x7F ? 0 : utf8SequenceLength(text, at);
        if (length == 0) {
            appendByteEscape(quoted, byte);
            ++at;
            continue;
        }
        quoted.append(text, at, length);
        at += length;
    }
    quoted += '"';
    return quoted;
}

Logger::Logger() = default;
Logger::~Logger() = default;

void Logger::log_(LogLevelType level, const char* file, int line, const char* format, ...) {
    std::string message;
    if (format != nullptr) {
        std::va_list arguments;
        va_start(arguments, format);
        message = formatMessage(format, arguments);
        va_end(arguments);
    }
    if (const LogSink sink = logSink.load()) {
        std::string oneLine;
        appendOnOneLine(oneLine, message);
        sink(level, oneLine.c_str(), file != nullptr ? file : "unknown file", line);
        return;
    }
    std::string record = "[";
    record += logLevelName(level);
    record += "] ";
    appendOnOneLine(record, message);
    record += " (";
    appendOnOneLine(record, file != nullptr ? file : "unknown file");
    record += ":" + std::to_string(line) + ")\n";
    std::fwrite(record.data(), 1, record.size(), stderr);
    std::fflush(stderr);
}

const char* logLevelName(LogLevelType level) {
    switch (level) {
        case LogLevelType::TRACE: return "TRACE";
        case LogLevelType::DEBUG: return "DEBUG";
        case LogLevelType::INFO: return "INFO";
        case LogLevelType::NOTICE: return "NOTICE";
        case LogLevelType::WARNING: return "WARNING";
        case LogLevelType::ERROR: return "ERROR";
    }
    return "UNKNOWN";
}

}  // namespace velmo

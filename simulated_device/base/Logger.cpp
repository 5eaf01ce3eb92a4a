#include <VelmoHal/device/Logger.h>
#include <VelmoSim/LogSink.h>

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

// Read on every message from any thread: an atomic, so the logger needs no lock of its own.
std::atomic<LogSink> logSink{nullptr};

}  // namespace

void setLogSink(LogSink sink) { logSink.store(sink); }

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

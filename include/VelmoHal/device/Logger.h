#pragma once

namespace velmo {

enum class LogLevelType : int {
    TRACE = 0,
    DEBUG = 1,
    INFO = 2,
    NOTICE = 3,
    WARNING = 4,
    ERROR = 5,
};

// Writes each message as one line on standard error. The line is assembled first and written
// with a single call, so lines from concurrent threads never interleave.
class Logger {
public:
    Logger();
    ~Logger();
    Logger(const Logger&) = delete;
    Logger& operator=(const Logger&) = delete;

    void log_(LogLevelType level, const char* file, int line, const char* format, ...)
        __attribute__((format(printf, 5, 6)));
};

}  // namespace velmo

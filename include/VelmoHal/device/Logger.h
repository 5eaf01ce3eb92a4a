#pragma once

#include <string>
#include <string_view>

namespace velmo {

enum class LogLevelType : int {
    TRACE = 0,
    DEBUG = 1,
    INFO = 2,
    NOTICE = 3,
    WARNING = 4,
    ERROR = 5,
};

// Receives each finished message in place of standard error. It is called on the thread that
// logs, possibly while that thread holds locks of the library, so it must return promptly and
// must not wait for anything that may itself wait for the library (a language runtime's global
// lock, say).
using LogSink = void (*)(LogLevelType level, const char* message, const char* file, int line);

// Sends every later message to the sink, or back to standard error for nullptr (the default).
void setLogSink(LogSink sink);

// Writes each message as one line on standard error, or hands it to the sink if one is set. The line is assembled first and written
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

const char* logLevelName(LogLevelType level);

// The text in double quotes, ready to go into a message: well-formed UTF-8 is kept as it is,
// while a double quote or backslash is escaped with a backslash and a control character or a
// byte that is not part of well-formed UTF-8 becomes \xNN. Whatever the text holds, the message
// stays on one line, is not cut short at a NUL and decodes as UTF-8.
std::string quotedForMessage(std::string_view text);

}  // namespace velmo

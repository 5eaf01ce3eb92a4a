#pragma once

#include <VelmoHal/device/Logger.h>

namespace velmo {

// Receives each finished message in place of standard error. It is called on the thread that
// logs, possibly while that thread holds locks of the library, so it must return promptly and
// must not wait for anything that may itself wait for the library (a language runtime's global
// lock, say).
using LogSink = void (*)(LogLevelType level, const char* message, const char* file, int line);

// Sends every later message of Logger::log_ to the sink, or back to standard error for nullptr
// (the default).
void setLogSink(LogSink sink);

// The level's name as log lines show it; "UNKNOWN" for a value without an enumerator.
const char* logLevelName(LogLevelType level);

}  // namespace velmo

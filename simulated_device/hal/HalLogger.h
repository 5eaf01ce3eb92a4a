#pragma once

#include <VelmoCodec/QuotedText.h>
#include <VelmoHal/device/Logger.h>

#include <cstdio>
#include <string>

namespace velmo::hal {

// The library's own logger, made on first use and kept until process exit.
inline Logger& halLogger() {
    static Logger logger;
    return logger;
}

// Numbers as they appear in log lines: floats in the shortest form that printf's %g gives.
inline std::string numberText(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%g", value);
    return text;
}

inline std::string numberText(std::int32_t value) { return std::to_string(value); }

}  // namespace velmo::hal

#include <VelmoHal/device/CameraTool.h>

#include "HalLogger.h"

namespace velmo {

namespace {

constexpr const char* kSourceFile = "hal/CameraTool.cpp";

// The kind word names the overload that was reached, so a caller can tell which one a value
// of a dynamically typed language ended up in. Names and texts are quoted with escapes, so the
// line shows them whole, NUL bytes and all.
bool refuseGet(const char* kind, const std::string& name, int line) {
    hal::halLogger().log_(LogLevelType::WARNING, kSourceFile, line,
                          "getParam(%s) is not supported by this tool: parameter %s", kind,
                          quotedForMessage(name).c_str());
    return false;
}

bool refuseSet(const char* kind, const std::string& name, const std::string& value, int line) {
    hal::halLogger().log_(LogLevelType::WARNING, kSourceFile, line,
                          "setParam(%s) is not supported by this tool: parameter %s, value %s", kind,
                          quotedForMessage(name).c_str(), value.c_str());
    return false;
}

}  // namespace

bool CameraTool::getParam(std::string name, int&) { return refuseGet("int", name, __LINE__); }
bool CameraTool::getParam(std::string name, float&) { return refuseGet("float", name, __LINE__); }
bool CameraTool::getParam(std::string name, bool&) { return refuseGet("bool", name, __LINE__); }
bool CameraTool::getParam(std::string name, std::string&) { return refuseGet("string", name, __LINE__); }

bool CameraTool::setParam(std::string name, const int& value) {
    return refuseSet("int", name, hal::numberText(value), __LINE__);
}
bool CameraTool::setParam(std::string name, const float& value) {
    return refuseSet("float", name, hal::numberText(value), __LINE__);
}
bool CameraTool::setParam(std::string name, const double& value) {
    return refuseSet("double", name, hal::numberText(value), __LINE__);
}
bool CameraTool::setParam(std::string name, const bool& value) {
    return refuseSet("bool", name, value ? "true" : "false", __LINE__);
}
bool CameraTool::setParam(std::string name, const char* value) {
    return refuseSet("const char*", name, value != nullptr ? quotedForMessage(value) : "null", __LINE__);
}
bool CameraTool::setParam(std::string name, const std::string& value) {
    return refuseSet("string", name, quotedForMessage(value), __LINE__);
}

}  // namespace velmo

#pragma once

#include <VelmoHal/camera/tools/ToolInfo.h>

#include <map>
#include <string>

namespace velmo {

// The abstract interface of every camera tool. The virtual operations keep this exact order:
// it is the layout of the virtual table that libVelmoHal and its users share. getParam
// (int&) is the first virtual defined out of line, so the virtual table and type information
// live in libVelmoHal; the default getParam / setParam bodies there refuse and log one line.
class CameraTool {
public:
    explicit CameraTool(std::string key_prefix) : key_prefix(std::move(key_prefix)) {}
    virtual ~CameraTool() = default;

    virtual ToolInfo getToolInfo() = 0;
    virtual std::map<std::string, BasicParameterInfo> getAllParamInfo() = 0;
    virtual bool getParamInfo(std::string name, IntParameterInfo& info) = 0;
    virtual bool getParamInfo(std::string name, FloatParameterInfo& info) = 0;
    virtual bool getParamInfo(std::string name, BoolParameterInfo& info) = 0;
    virtual bool getParamInfo(std::string name, EnumParameterInfo& info) = 0;

    virtual bool getParam(std::string name, int& value);
    virtual bool getParam(std::string name, float& value);
    virtual bool getParam(std::string name, bool& value);
    virtual bool getParam(std::string name, std::string& value);

    virtual bool setParam(std::string name, const int& value);
    virtual bool setParam(std::string name, const float& value);
    virtual bool setParam(std::string name, const double& value);
    virtual bool setParam(std::string name, const bool& value);
    virtual bool setParam(std::string name, const char* value);
    virtual bool setParam(std::string name, const std::string& value);

    // Prepended, without a separator, to a parameter name to form its registry key.
    std::string key_prefix;
};

}  // namespace velmo

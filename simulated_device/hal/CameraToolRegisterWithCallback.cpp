#include <VelmoHal/camera/tools/CameraToolPrivate.h>

#include "HalLogger.h"

#include <VelmoSim/RegisterFile.h>

#include <algorithm>
#include <exception>
#include <stdexcept>

namespace velmo {

namespace {

constexpr const char* kSourceFile = "hal/CameraToolRegisterWithCallback.cpp";

using Registry = std::map<std::string, ParameterEntry>;

// One read or write as the log lines name it: the operation with the kind of its value,
// e.g. "setParam(int)", and the parameter name as the caller gave it.
struct Access {
    const char* operation;
    const std::string& name;

    std::string parameter() const { return "parameter " + quotedForMessage(name); }
};

bool refuse(const Access& access, const std::string& reason) {
    hal::halLogger().log_(LogLevelType::WARNING, kSourceFile, __LINE__, "%s refused: %s", access.operation,
                          reason.c_str());
    return false;
}

bool fail(const Access& access, const std::exception& error) {
    hal::halLogger().log_(LogLevelType::WARNING, kSourceFile, __LINE__, "%s failed: %s: %s", access.operation,
                          access.parameter().c_str(), error.what());
    return false;
}

bool refuseKind(const Access& access, const ParameterEntry& entry) {
    return refuse(access, access.parameter() + " is " + ToolParameterTypeToString(entry.basic.type));
}

const ParameterEntry* findEntry(const Registry& parameters, const std::string& key_prefix, const Access& access) {
    const auto found = parameters.find(key_prefix + access.name);
    if (found != parameters.end()) return &found->second;
    refuse(access, access.parameter() + " not found");
    return nullptr;
}

// An entry whose detail does not match its type, or whose callback is empty, is refused
// rather than trusted.
template <typename Info>
const Info* readableDetail(const ParameterEntry& entry, const Access& access) {
    const Info* info = std::get_if<Info>(&entry.detail);
    if (info != nullptr && info->first_callback) return info;
    refuse(access, access.parameter() + " has no way to read its value");
    return nullptr;
}

template <typename Info>
const Info* writableDetail(const ParameterEntry& entry, const Access& access) {
    const Info* info = std::get_if<Info>(&entry.detail);
    if (info != nullptr && info->second_callback) return info;
    refuse(access, access.parameter() + " has no way to write its value");
    return nullptr;
}

template <typename Info, typename Value>
bool readValue(const Registry& parameters, const std::string& key_prefix, const Access& access,
               ToolParameterType expected, Value& value) {
    const ParameterEntry* entry = findEntry(parameters, key_prefix, access);
    if (entry == nullptr) return false;
    if (entry->basic.type != expected) return refuseKind(access, *entry);
    const Info* info = readableDetail<Info>(*entry, access);
    if (info == nullptr) return false;
    try {
        value = info->first_callback();
        return true;
    } catch (const std::exception& error) {
        return fail(access, error);
    }
}

template <typename Info, typename Value>
bool writeValue(const Info& info, const Access& access, const Value& value) {
    try {
        info.second_callback(value);
        return true;
    } catch (const std::exception& error) {
        return fail(access, error);
    }
}

// The negated test also refuses NaN, which compares false with everything.
template <typename Info, typename Number>
bool writeNumber(const ParameterEntry& entry, const Access& access, Number value) {
    const Info* info = writableDetail<Info>(entry, access);
    if (info == nullptr) return false;
    if (!(value >= info->min && value <= info->max))
        return refuse(access, hal::numberText(value) + " is outside [" + hal::numberText(info->min) + ", " +
                                  hal::numberText(info->max) + "] for " + access.parameter());
    return writeValue(*info, access, value);
}

bool writeOption(const ParameterEntry& entry, const Access& access, const std::string& value) {
    const EnumParameterInfo* info = writableDetail<EnumParameterInfo>(entry, access);
    if (info == nullptr) return false;
    if (std::find(info->options.begin(), info->options.end(), value) == info->options.end()) {
        std::string options;
        for (const std::string& option : info->options) options += (options.empty() ? "" : ", ") + option;
        return refuse(access, quotedForMessage(value) + " is not one of the options of " + access.parameter() +
                                  " (" + options + ")");
    }
    return writeValue(*info, access, value);
}

std::shared_ptr<RegisterFile> registersFor(const std::shared_ptr<RegisterFile>& shared_handle,
                                           const std::string& name) {
    if (!shared_handle) throw std::invalid_argument("parameter " + name + " needs a register file; the tool has none");
    return shared_handle;
}

ParameterEntry makeEntry(std::string name, std::string description, ToolParameterType type, ParameterDetail detail) {
    ParameterEntry entry;
    entry.basic = BasicParameterInfo{std::move(name), std::move(description), type};
    entry.detail = std::move(detail);
    return entry;
}

}  // namespace

bool CameraToolRegisterWithCallback::getParamInfo(std::string name, IntParameterInfo& info) {
    return CameraToolRegister::getParamInfo(std::move(name), info);
}
bool CameraToolRegisterWithCallback::getParamInfo(std::string name, FloatParameterInfo& info) {
    return CameraToolRegister::getParamInfo(std::move(name), info);
}
bool CameraToolRegisterWithCallback::getParamInfo(std::string name, BoolParameterInfo& info) {
    return CameraToolRegister::getParamInfo(std::move(name), info);
}
bool CameraToolRegisterWithCallback::getParamInfo(std::string name, EnumParameterInfo& info) {
    return CameraToolRegister::getParamInfo(std::move(name), info);
}

bool CameraToolRegisterWithCallback::getParam(std::string name, int& value) {
    return readValue<IntParameterInfo>(parameters, key_prefix, {"getParam(int)", name}, ToolParameterType::INT, value);
}
bool CameraToolRegisterWithCallback::getParam(std::string name, float& value) {
    return readValue<FloatParameterInfo>(parameters, key_prefix, {"getParam(float)", name}, ToolParameterType::FLOAT,
                                         value);
}
bool CameraToolRegisterWithCallback::getParam(std::string name, bool& value) {
    return readValue<BoolParameterInfo>(parameters, key_prefix, {"getParam(bool)", name}, ToolParameterType::BOOL,
                                        value);
}
bool CameraToolRegisterWithCallback::getParam(std::string name, std::string& value) {
    return readValue<EnumParameterInfo>(parameters, key_prefix, {"getParam(string)", name}, ToolParameterType::ENUM,
                                        value);
}

bool CameraToolRegisterWithCallback::setParam(std::string name, const int& value) {
    const Access access{"setParam(int)", name};
    const ParameterEntry* entry = findEntry(parameters, key_prefix, access);
    if (entry == nullptr) return false;
    switch (entry->basic.type) {
        case ToolParameterType::INT: return writeNumber<IntParameterInfo>(*entry, access, std::int32_t{value});
        case ToolParameterType::FLOAT: return writeNumber<FloatParameterInfo>(*entry, access, static_cast<float>(value));
        case ToolParameterType::BOOL: {
            if (value != 0 && value != 1)
                return refuse(access, std::to_string(value) + " is not 0 or 1 for BOOL " + access.parameter());
            const BoolParameterInfo* info = writableDetail<BoolParameterInfo>(*entry, access);
            return info != nullptr && writeValue(*info, access, value == 1);
        }
        default: return refuseKind(access, *entry);
    }
}

bool CameraToolRegisterWithCallback::setParam(std::string name, const float& value) {
    const Access access{"setParam(float)", name};
    const ParameterEntry* entry = findEntry(parameters, key_prefix, access);
    if (entry == nullptr) return false;
    if (entry->basic.type != ToolParameterType::FLOAT) return refuseKind(access, *entry);
    return writeNumber<FloatParameterInfo>(*entry, access, value);
}

bool CameraToolRegisterWithCallback::setParam(std::string name, const bool& value) {
    const Access access{"setParam(bool)", name};
    const ParameterEntry* entry = findEntry(parameters, key_prefix, access);
    if (entry == nullptr) return false;
    if (entry->basic.type != ToolParameterType::BOOL) return refuseKind(access, *entry);
    const BoolParameterInfo* info = writableDetail<BoolParameterInfo>(*entry, access);
    return info != nullptr && writeValue(*info, access, value);
}

bool CameraToolRegisterWithCallback::setParam(std::string name, const char* value) {
    const Access access{"setParam(const char*)", name};
    const ParameterEntry* entry = findEntry(parameters, key_prefix, access);
    if (entry == nullptr) return false;
    if (value == nullptr) return refuse(access, "null value for " + access.parameter());
    if (entry->basic.type != ToolParameterType::ENUM) return refuseKind(access, *entry);
    return writeOption(*entry, access, value);
}

bool CameraToolRegisterWithCallback::setParam(std::string name, const std::string& value) {
    const Access access{"setParam(string)", name};
    const ParameterEntry* entry = findEntry(parameters, key_prefix, access);
    if (entry == nullptr) return false;
    if (entry->basic.type != ToolParameterType::ENUM) return refuseKind(access, *entry);
    return writeOption(*entry, access, value);
}

ParameterEntry CameraToolRegisterWithCallback::intParameter(const std::string& address, std::string name,
                                                            std::string description, std::int32_t min,
                                                            std::int32_t max, std::int32_t default_value,
                                                            std::string unit) {
    std::shared_ptr<RegisterFile> registers = registersFor(shared_handle, name);
    registers->define(address, default_value);
    IntParameterInfo info{min, max, default_value, std::move(unit),
                          [registers, address] { return registers->get<std::int32_t>(address); },
                          [registers, address](std::int32_t value) { registers->write(address, value); }};
    return makeEntry(std::move(name), std::move(description), ToolParameterType::INT, std::move(info));
}

ParameterEntry CameraToolRegisterWithCallback::floatParameter(const std::string& address, std::string name,
                                                              std::string description, float min, float max,
                                                              float default_value, std::string unit) {
    std::shared_ptr<RegisterFile> registers = registersFor(shared_handle, name);
    registers->define(address, default_value);
    FloatParameterInfo info{min, max, default_value, std::move(unit),
                            [registers, address] { return registers->get<float>(address); },
                            [registers, address](float value) { registers->write(address, value); }};
    return makeEntry(std::move(name), std::move(description), ToolParameterType::FLOAT, std::move(info));
}

ParameterEntry CameraToolRegisterWithCallback::boolParameter(const std::string& address, std::string name,
                                                             std::string description, bool default_value) {
    std::shared_ptr<RegisterFile> registers = registersFor(shared_handle, name);
    registers->define(address, default_value);
    BoolParameterInfo info{default_value, [registers, address] { return registers->get<bool>(address); },
                           [registers, address](bool value) { registers->write(address, value); }};
    return makeEntry(std::move(name), std::move(description), ToolParameterType::BOOL, std::move(info));
}

ParameterEntry CameraToolRegisterWithCallback::enumParameter(const std::string& address, std::string name,
                                                             std::string description,
                                                             std::vector<std::string> options,
                                                             std::string default_value) {
    std::shared_ptr<RegisterFile> registers = registersFor(shared_handle, name);
    if (std::find(options.begin(), options.end(), default_value) == options.end())
        throw std::invalid_argument("default \"" + default_value + "\" of parameter " + name +
                                    " is not one of its options");
    registers->define(address, default_value);
    EnumParameterInfo info{std::move(options), std::move(default_value),
                           [registers, address] { return registers->get<std::string>(address); },
                           [registers, address](const std::string& value) { registers->write(address, value); }};
    return makeEntry(std::move(name), std::move(description), ToolParameterType::ENUM, std::move(info));
}

}  // namespace velmo

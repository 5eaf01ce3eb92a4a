#pragma once

#include <VelmoHal/camera/tools/ToolInfo.h>
#include <VelmoHal/device/CameraTool.h>
#include <VelmoHal/device/Logger.h>
#include <VelmoHal/device/RegisterFile.h>

#include <map>
#include <memory>
#include <string>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

namespace velmo {

// Alternatives in the order of ToolParameterType's INT, FLOAT, BOOL, ENUM: a STRING
// parameter has only its basic record.
using ParameterDetail =
    std::variant<IntParameterInfo, FloatParameterInfo, BoolParameterInfo, EnumParameterInfo>;

// One parameter of a tool's registry. basic.type names the alternative that detail holds.
struct ParameterEntry {
    BasicParameterInfo basic{"NotDefined", "not defined", ToolParameterType::BOOL};
    ParameterDetail detail{BoolParameterInfo{}};
};

static_assert(std::is_same_v<std::variant_alternative_t<0, ParameterDetail>, IntParameterInfo>);
static_assert(std::is_same_v<std::variant_alternative_t<1, ParameterDetail>, FloatParameterInfo>);
static_assert(std::is_same_v<std::variant_alternative_t<2, ParameterDetail>, BoolParameterInfo>);
static_assert(std::is_same_v<std::variant_alternative_t<3, ParameterDetail>, EnumParameterInfo>);

// The file named in the registry's log lines.
inline constexpr const char* kCameraToolPrivateHeader = "camera/tools/CameraToolPrivate.h";

// Common base of concrete tools: owns the parameter registry, keyed by key_prefix followed
// by the parameter name, and answers the metadata queries from it.
class CameraToolBasePrivate : public CameraTool {
public:
    using CameraTool::CameraTool;

    // Keyed by each record's own name; of two entries with the same name, the one whose
    // registry key sorts last wins.
    std::map<std::string, BasicParameterInfo> getAllParamInfo() final {
        std::map<std::string, BasicParameterInfo> table;
        for (const auto& [key, entry] : parameters) table.insert_or_assign(entry.basic.name, entry.basic);
        return table;
    }

    bool getParamInfo(std::string name, IntParameterInfo& info) override {
        return copyDetail(std::move(name), ToolParameterType::INT, info);
    }
    bool getParamInfo(std::string name, FloatParameterInfo& info) override {
        return copyDetail(std::move(name), ToolParameterType::FLOAT, info);
    }
    bool getParamInfo(std::string name, BoolParameterInfo& info) override {
        return copyDetail(std::move(name), ToolParameterType::BOOL, info);
    }
    bool getParamInfo(std::string name, EnumParameterInfo& info) override {
        return copyDetail(std::move(name), ToolParameterType::ENUM, info);
    }

    // The two log lines below report their own source lines, 72 and 76, which callers and
    // tests rely on: keep them there when editing anything above. A missing key and a key of
    // another type are told apart by the message; the key is logged in full, prefix
    // included, so that a wrong prefix shows.
    bool checkParamType(std::string key, ToolParameterType expected) {
        // Exact, case-sensitive match of the whole key.
        const auto found = parameters.find(key);
        if (found == parameters.end()) {
            checkLogger().log_(LogLevelType::WARNING, kCameraToolPrivateHeader, __LINE__, "Parameter %s not found", key.c_str());
            return false;
        }
        if (found->second.basic.type != expected) {
            checkLogger().log_(LogLevelType::WARNING, kCameraToolPrivateHeader, __LINE__, "Parameter %s is not of type %s",
                               key.c_str(), ToolParameterTypeToString(expected).c_str());
            return false;
        }
        return true;
    }

protected:
    // Stores the entry under key_prefix followed by its own name, replacing an entry there.
    void registerParameter(ParameterEntry entry) {
        std::string key = key_prefix + entry.basic.name;
        parameters.insert_or_assign(std::move(key), std::move(entry));
    }

    std::map<std::string, ParameterEntry> parameters;

private:
    // One logger for the life of the process, made at the first failed check; a
    // function-local static gives the thread-safe one-time initialisation and registers its
    // destructor to run at exit.
    static Logger& checkLogger() {
        static Logger logger;
        return logger;
    }

    // std::get throws std::bad_variant_access for an entry whose detail breaks the
    // invariant; info is untouched then.
    template <typename Info>
    bool copyDetail(std::string name, ToolParameterType expected, Info& info) {
        std::string key = key_prefix + name;
        if (!checkParamType(key, expected)) return false;
        info = std::get<Info>(parameters.find(key)->second.detail);
        return true;
    }
};

// A tool that shares ownership of a device object (the camera's register file) for its life.
class CameraToolRegister : public CameraToolBasePrivate {
public:
    CameraToolRegister(std::string key_prefix, std::shared_ptr<RegisterFile> shared_handle)
        : CameraToolBasePrivate(std::move(key_prefix)), shared_handle(std::move(shared_handle)) {}

    std::shared_ptr<RegisterFile> shared_handle;
};

}  // namespace velmo

// The device library's callback-driven tool base; it needs CameraToolRegister complete.
#include <VelmoHal/device/CameraToolRegisterWithCallback.h>

namespace velmo {

// IMX636 tools: TOOLS_GO_HERE

}  // namespace velmo

#include "ParameterAccess.h"

#include <pybind11/stl.h>

#include <map>
#include <string>
#include <utility>

namespace py = pybind11;

namespace {

using ParameterTable = std::map<std::string, velmo::BasicParameterInfo>;

// The record starts value-initialised, so a refused query hands back all zeros and empties
// rather than stale data.
template <typename Info>
py::tuple recordTuple(velmo::CameraTool& tool, const std::string& name) {
    Info info{};
    const bool ok = tool.getParamInfo(name, info);
    return py::make_tuple(ok, std::move(info));
}

template <typename Value>
py::tuple valueTuple(velmo::CameraTool& tool, const std::string& name) {
    Value value{};
    const bool ok = tool.getParam(name, value);
    return py::make_tuple(ok, std::move(value));
}

py::tuple paramInfoTuple(velmo::CameraTool& tool, const ParameterTable& table, const std::string& name) {
    const auto found = table.find(name);
    if (found == table.end()) return py::make_tuple(false, py::none());
    switch (found->second.type) {
        case velmo::ToolParameterType::INT:
            return recordTuple<velmo::IntParameterInfo>(tool, name);
        case velmo::ToolParameterType::FLOAT:
            return recordTuple<velmo::FloatParameterInfo>(tool, name);
        case velmo::ToolParameterType::BOOL:
            return recordTuple<velmo::BoolParameterInfo>(tool, name);
        case velmo::ToolParameterType::ENUM:
            return recordTuple<velmo::EnumParameterInfo>(tool, name);
        case velmo::ToolParameterType::STRING:
            break;
    }
    return py::tuple();
}

py::tuple paramTuple(velmo::CameraTool& tool, const ParameterTable& table, const std::string& name) {
    const auto found = table.find(name);
    if (found == table.end()) return py::make_tuple(false, py::none());
    switch (found->second.type) {
        case velmo::ToolParameterType::INT:
            return valueTuple<int>(tool, name);
        case velmo::ToolParameterType::FLOAT:
            return valueTuple<float>(tool, name);
        case velmo::ToolParameterType::BOOL:
            return valueTuple<bool>(tool, name);
        case velmo::ToolParameterType::ENUM:
            return valueTuple<std::string>(tool, name);
        case velmo::ToolParameterType::STRING:
            break;
    }
    return py::tuple();
}

}  // namespace

py::tuple getParamInfoAsTuple(velmo::CameraTool& tool, std::string name) {
    return paramInfoTuple(tool, tool.getAllParamInfo(), name);
}

py::tuple getParamAsTuple(velmo::CameraTool& tool, std::string name) {
    return paramTuple(tool, tool.getAllParamInfo(), name);
}

py::tuple getParamInfoAsTuple(velmo::CameraToolBasePrivate& tool, std::string name) {
    return paramInfoTuple(tool, tool.CameraToolBasePrivate::getAllParamInfo(), name);
}

py::tuple getParamAsTuple(velmo::CameraToolBasePrivate& tool, std::string name) {
    return paramTuple(tool, tool.CameraToolBasePrivate::getAllParamInfo(), name);
}

bool setParamBool(velmo::CameraTool& tool, std::string name, SetParamBool value) {
    return tool.setParam(std::move(name), value.value);
}

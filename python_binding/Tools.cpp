#include "Bindings.h"
#include "ParameterAccess.h"
#include "ValueProperty.h"

#include <VelmoHal/camera/tools/CameraToolPrivate.h>
#include <VelmoHal/device/Imx636Biases.h>
#include <VelmoBinding/NativeObjects.h>

#include <pybind11/stl.h>

#include <memory>
#include <string>
#include <tuple>
#include <type_traits>
#include <vector>

namespace py = pybind11;

namespace {

using velmo::binding::guardedNativeObject;
using velmo::binding::unpackState;

std::string toolInfoText(const velmo::ToolInfo& info) { return info.toString(); }

py::tuple toolInfoState(const velmo::ToolInfo& info) {
    return py::make_tuple(info.tool_type, info.parameter_names, info.description);
}

velmo::ToolInfo toolInfoFromState(py::handle state) {
    velmo::ToolInfo info;
    std::tie(info.tool_type, info.parameter_names, info.description) =
        unpackState<velmo::ToolType, std::vector<std::string>, std::string>(state, "ToolInfo");
    return info;
}

py::tuple basicInfoState(const velmo::BasicParameterInfo& info) {
    return py::make_tuple(info.name, info.description, info.type);
}

velmo::BasicParameterInfo basicInfoFromState(py::handle state) {
    velmo::BasicParameterInfo info;
    std::tie(info.name, info.description, info.type) =
        unpackState<std::string, std::string, velmo::ToolParameterType>(state, "BasicParameterInfo");
    return info;
}

template <typename Info>
py::tuple rangeInfoState(const Info& info) {
    return py::make_tuple(info.min, info.max, info.default_value, info.unit);
}

template <typename Info>
Info rangeInfoFromState(py::handle state) {
    using Number = decltype(Info::min);
    constexpr const char* name =
        std::is_same_v<Info, velmo::IntParameterInfo> ? "IntParameterInfo" : "FloatParameterInfo";
    Info info;
    std::tie(info.min, info.max, info.default_value, info.unit) =
        unpackState<Number, Number, Number, std::string>(state, name);
    return info;
}

py::tuple boolInfoState(const velmo::BoolParameterInfo& info) { return py::make_tuple(info.default_value); }

velmo::BoolParameterInfo boolInfoFromState(py::handle state) {
    velmo::BoolParameterInfo info;
    std::tie(info.default_value) = unpackState<bool>(state, "BoolParameterInfo");
    return info;
}

py::tuple enumInfoState(const velmo::EnumParameterInfo& info) {
    return py::make_tuple(info.options, info.default_value);
}

velmo::EnumParameterInfo enumInfoFromState(py::handle state) {
    velmo::EnumParameterInfo info;
    std::tie(info.options, info.default_value) =
        unpackState<std::vector<std::string>, std::string>(state, "EnumParameterInfo");
    return info;
}

void bindToolRecords(py::module_& module) {
    py::enum_<velmo::ToolType> toolType(module, "ToolType", guardedNativeObject());
    velmo::binding::copyEnumByValue(toolType);
    toolType
        .value("BIAS", velmo::ToolType::BIAS)
        .value("TRIGGER_IN", velmo::ToolType::TRIGGER_IN)
        .value("ANTI_FLICKER", velmo::ToolType::ANTI_FLICKER)
        .value("EVENT_TRAIL_FILTER", velmo::ToolType::EVENT_TRAIL_FILTER)
        .value("EVENT_RATE_CONTROL", velmo::ToolType::EVENT_RATE_CONTROL)
        .value("ROI", velmo::ToolType::ROI)
        .value("APS_CTRL", velmo::ToolType::APS_CTRL)
        .export_values();

    py::class_<velmo::ToolInfo> toolInfo(module, "ToolInfo", guardedNativeObject());
    velmo::binding::copyByValue<velmo::ToolInfo, toolInfoState, toolInfoFromState>(toolInfo);
    toolInfo
        .def(py::init<>())
        .def_property("tool_type", readByValue(&velmo::ToolInfo::tool_type), writeByValue(&velmo::ToolInfo::tool_type))
        .def_readwrite("parameter_names", &velmo::ToolInfo::parameter_names)
        .def_readwrite("description", &velmo::ToolInfo::description)
        .def("__str__", &toolInfoText);

    py::enum_<velmo::ToolParameterType> parameterType(module, "ToolParameterType", guardedNativeObject());
    velmo::binding::copyEnumByValue(parameterType);
    parameterType
        .value("INT", velmo::ToolParameterType::INT)
        .value("FLOAT", velmo::ToolParameterType::FLOAT)
        .value("BOOL", velmo::ToolParameterType::BOOL)
        .value("STRING", velmo::ToolParameterType::STRING)
        .value("ENUM", velmo::ToolParameterType::ENUM);

    module.def("tool_parameter_type_to_string", &velmo::ToolParameterTypeToString,
               "Convert the ToolParameterType to string.", py::arg("type"));

    py::class_<velmo::BasicParameterInfo> basicParameterInfo(module, "BasicParameterInfo", guardedNativeObject());
    velmo::binding::copyByValue<velmo::BasicParameterInfo, basicInfoState, basicInfoFromState>(basicParameterInfo);
    basicParameterInfo
        .def(py::init<>())
        .def_readwrite("name", &velmo::BasicParameterInfo::name)
        .def_readwrite("description", &velmo::BasicParameterInfo::description)
        .def_property("type", readByValue(&velmo::BasicParameterInfo::type),
                      writeByValue(&velmo::BasicParameterInfo::type))
        .def("__str__", &velmo::BasicParameterInfo::toString);

    py::class_<velmo::IntParameterInfo> intParameterInfo(module, "IntParameterInfo", guardedNativeObject());
    velmo::binding::copyByValue<velmo::IntParameterInfo, rangeInfoState<velmo::IntParameterInfo>, rangeInfoFromState<velmo::IntParameterInfo>>(intParameterInfo);
    intParameterInfo
        .def(py::init<>())
        .def_readwrite("min", &velmo::IntParameterInfo::min)
        .def_readwrite("max", &velmo::IntParameterInfo::max)
        .def_readwrite("default_value", &velmo::IntParameterInfo::default_value)
        .def_readwrite("unit", &velmo::IntParameterInfo::unit)
        .def("__str__", &velmo::IntParameterInfo::toString)
        .def("constraint_value", &velmo::IntParameterInfo::constraintValue, "Constraint the value.",
             py::arg("value"));

    py::class_<velmo::FloatParameterInfo> floatParameterInfo(module, "FloatParameterInfo", guardedNativeObject());
    velmo::binding::copyByValue<velmo::FloatParameterInfo, rangeInfoState<velmo::FloatParameterInfo>, rangeInfoFromState<velmo::FloatParameterInfo>>(floatParameterInfo);
    floatParameterInfo
        .def(py::init<>())
        .def_readwrite("min", &velmo::FloatParameterInfo::min)
        .def_readwrite("max", &velmo::FloatParameterInfo::max)
        .def_readwrite("default_value", &velmo::FloatParameterInfo::default_value)
        .def_readwrite("unit", &velmo::FloatParameterInfo::unit)
        .def("__str__", &velmo::FloatParameterInfo::toString)
        .def("constraint_value", &velmo::FloatParameterInfo::constraintValue, "Constraint the value.",
             py::arg("value"));

    py::class_<velmo::BoolParameterInfo> boolParameterInfo(module, "BoolParameterInfo", guardedNativeObject());
    velmo::binding::copyByValue<velmo::BoolParameterInfo, boolInfoState, boolInfoFromState>(boolParameterInfo);
    boolParameterInfo
        .def(py::init<>())
        .def_readwrite("default_value", &velmo::BoolParameterInfo::default_value)
        .def("__str__", &velmo::BoolParameterInfo::toString);

    py::class_<velmo::EnumParameterInfo> enumParameterInfo(module, "EnumParameterInfo", guardedNativeObject());
    velmo::binding::copyByValue<velmo::EnumParameterInfo, enumInfoState, enumInfoFromState>(enumParameterInfo);
    enumParameterInfo
        .def(py::init<>())
        .def_readwrite("options", &velmo::EnumParameterInfo::options)
        .def_readwrite("default_value", &velmo::EnumParameterInfo::default_value)
        .def("__str__", &velmo::EnumParameterInfo::toString);
}

// Registered without a Python base although it derives from CameraTool natively: its methods
// name their arguments, carry docstrings and write int values only.
void bindCameraToolBasePrivate(py::module_& module) {
    py::class_<velmo::CameraToolBasePrivate> registryBase(module, "CameraToolBasePrivate", guardedNativeObject());
    velmo::binding::refuseCopies(registryBase, "a tool belongs to the device or registry that made it");
    registryBase
        .def("get_tool_info", &velmo::CameraToolBasePrivate::getToolInfo, "Get the information of the tool.")
        .def("get_all_param_info", &velmo::CameraToolBasePrivate::getAllParamInfo,
             "Get all the parameter information.")
        .def("get_param_info", py::overload_cast<velmo::CameraToolBasePrivate&, std::string>(&getParamInfoAsTuple),
             "Get the detailed information of a parameter.", py::arg("name"))
        .def("get_param", py::overload_cast<velmo::CameraToolBasePrivate&, std::string>(&getParamAsTuple),
             "Get the value of a parameter.", py::arg("name"))
        .def("set_param", py::overload_cast<std::string, const int&>(&velmo::CameraTool::setParam),
             "Set the value of a parameter.", py::arg("name"), py::arg("value").noconvert());
}

// Native code hands these tools over as CameraTool; registering each class lets Python see
// the most derived one.
template <typename Tool>
void bindImx636Tool(py::module_& module, const char* name) {
    py::class_<Tool, velmo::CameraTool, std::shared_ptr<Tool>>(module, name, guardedNativeObject());
}

}  // namespace

void bindTools(py::module_& module) {
    bindToolRecords(module);
    bindCameraToolBasePrivate(module);
    bindCameraTool(module);
    bindImx636Tool<velmo::Imx636Biases>(module, "Imx636Biases");
    bindImx636Tool<velmo::Imx636TriggerIn>(module, "Imx636TriggerIn");
    bindImx636Tool<velmo::Imx636AntiFlicker>(module, "Imx636AntiFlicker");
    bindImx636Tool<velmo::Imx636EventRateControl>(module, "Imx636EventRateControl");
    bindImx636Tool<velmo::Imx636EventTrailFilter>(module, "Imx636EventTrailFilter");
    bindImx636Tool<velmo::Imx636ROI>(module, "Imx636ROI");
}

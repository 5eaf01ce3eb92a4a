#include "Bindings.h"
#include "ParameterAccess.h"

#include <VelmoHal/camera/tools/CameraToolPrivate.h>
#include <VelmoBinding/Gil.h>
#include <VelmoBinding/NativeObjects.h>
#include <VelmoBinding/Overrides.h>

#include <pybind11/stl.h>

#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>

namespace py = pybind11;

// Lets a Python subclass of CameraTool implement the six pure operations. Native callers
// reach the Python methods named like the native operations (getToolInfo, getAllParamInfo,
// getParamInfo), so a Python override of get_tool_info alone does not answer them. Value
// access (getParam / setParam) stays with the device library.
class CameraToolPyWrapper : public velmo::CameraTool {
public:
    using velmo::CameraTool::CameraTool;

    velmo::ToolInfo getToolInfo() override {
        velmo::binding::HeldGil held;
        return convertResult<velmo::ToolInfo>(velmo::binding::callPython(pythonOverride("getToolInfo"), py::tuple()),
                                              "getToolInfo", "ToolInfo");
    }

    std::map<std::string, velmo::BasicParameterInfo> getAllParamInfo() override {
        velmo::binding::HeldGil held;
        return convertResult<std::map<std::string, velmo::BasicParameterInfo>>(
            velmo::binding::callPython(pythonOverride("getAllParamInfo"), py::tuple()), "getAllParamInfo",
            "dict[str, BasicParameterInfo]");
    }

    bool getParamInfo(std::string name, velmo::IntParameterInfo& info) override {
        return answerParamInfo(std::move(name), info);
    }
    bool getParamInfo(std::string name, velmo::FloatParameterInfo& info) override {
        return answerParamInfo(std::move(name), info);
    }
    bool getParamInfo(std::string name, velmo::BoolParameterInfo& info) override {
        return answerParamInfo(std::move(name), info);
    }
    bool getParamInfo(std::string name, velmo::EnumParameterInfo& info) override {
        return answerParamInfo(std::move(name), info);
    }

private:
    // Call with the GIL held. The override is found only while the Python object lives: once
    // native code outlives it, every pure operation reports itself as unimplemented. The error
    // is thrown as it stands, without pybind11_fail: that helper asserts on Python's error
    // state, which is only safe while this thread holds the GIL.
    py::function pythonOverride(const char* native_name) const {
        py::function override = velmo::binding::findPythonOverride<velmo::CameraTool>(this, native_name);
        if (!override) {
            throw std::runtime_error(std::string("Tried to call pure virtual function \"velmo::CameraTool::") +
                                     native_name + "\"");
        }
        return override;
    }

    // Every result that does not convert becomes one cast error naming the operation and what
    // it got. pybind11 alone would let None through as a null record and report it as a
    // reference_cast_error, which a bound function calling this tool passes off as a mismatch
    // of its own arguments.
    template <typename Result>
    static Result convertResult(const py::object& result, const char* native_name, const char* wanted) {
        try {
            return py::cast<Result>(result);
        } catch (const py::cast_error&) {
            throw castFailure(result, native_name, wanted);
        } catch (const py::reference_cast_error&) {
            throw castFailure(result, native_name, wanted);
        }
    }

    static py::cast_error castFailure(py::handle result, const char* native_name, const char* wanted) {
        return py::cast_error(std::string("Unable to cast the result of the Python override \"") + native_name +
                              "\" to " + wanted + ": got " + describeResult(result));
    }

    // A dict is described by its first entry that cannot be part of the parameter table.
    static std::string describeResult(py::handle result) {
        if (py::isinstance<py::dict>(result)) {
            for (auto [key, value] : py::reinterpret_borrow<py::dict>(result)) {
                if (!py::detail::make_caster<std::string>().load(key, true)) {
                    return "dict with a key of type " + typeName(key);
                }
                if (!py::isinstance<velmo::BasicParameterInfo>(value)) {
                    return "dict with a value of type " + typeName(value);
                }
            }
        }
        return typeName(result);
    }

    static std::string typeName(py::handle object) {
        return py::str(py::type::handle_of(object).attr("__name__"));
    }

    // The override fills a Python record of its own, never native memory: it may keep the
    // object beyond the call. Its filling is what the caller asked for, so a true answer
    // copies it back into the caller's record; a false one leaves that record as it was.
    template <typename Info>
    bool answerParamInfo(std::string name, Info& info) {
        velmo::binding::HeldGil held;
        py::function override = pythonOverride("getParamInfo");
        py::object record = py::cast(info, py::return_value_policy::copy);
        const bool found = convertResult<bool>(
            velmo::binding::callPython(override, py::make_tuple(std::move(name), record)), "getParamInfo", "bool");
        if (found) info = record.cast<const Info&>();
        return found;
    }
};

void bindCameraTool(py::module_& module) {
    py::class_<velmo::CameraTool, CameraToolPyWrapper, std::shared_ptr<velmo::CameraTool>> tool(
        module, "CameraTool", velmo::binding::guardedNativeObject());
    velmo::binding::refuseCopies(tool, "a tool belongs to the device or the Python code that made it");
    tool.def(py::init_alias<std::string>());
    velmo::binding::refuseInitOfBoundSubclasses(tool, "device tools cannot be constructed from Python");
    tool
        .def("get_tool_info", &velmo::CameraTool::getToolInfo)
        .def("get_all_param_info", &velmo::CameraTool::getAllParamInfo)
        .def("get_param_info", py::overload_cast<velmo::CameraTool&, std::string>(&getParamInfoAsTuple))
        .def("get_param", py::overload_cast<velmo::CameraTool&, std::string>(&getParamAsTuple))
        // The int overload takes ints only: with conversions allowed it would also take any
        // number with __int__ (a NumPy float32, a Fraction) and write it truncated, before the
        // float overload had its turn.
        .def("set_param", py::overload_cast<std::string, const int&>(&velmo::CameraTool::setParam), py::arg(),
             py::arg().noconvert())
        .def("set_param", py::overload_cast<std::string, const float&>(&velmo::CameraTool::setParam))
        .def("set_param", &setParamBool)
        .def("set_param", py::overload_cast<std::string, const std::string&>(&velmo::CameraTool::setParam));
}

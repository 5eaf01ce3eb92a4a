#pragma once

#include <VelmoBinding/Gil.h>

#include <pybind11/pybind11.h>

#include <typeinfo>

namespace velmo::binding {

// The Python method `name` that overrides a virtual operation of `native`, or an empty
// function when there is none: no Python object for it any more, no such attribute, or the
// bound class's own method. Call with the interpreter lock held.
//
// Unlike pybind11's get_override, no calling frame is taken for a call from the override
// itself: that guess skips a true override whenever a Python function of the same name
// passes the object on (`def getToolInfo(tool): return tool.get_tool_info()`). An override
// that wants the bound class's behaviour calls it by its own Python name.
template <typename Base>
pybind11::function findPythonOverride(const Base* native, const char* name) {
    const pybind11::handle self =
        pybind11::detail::get_object_handle(native, pybind11::detail::get_type_info(typeid(Base)));
    if (!self) return {};
    // An attribute that is not callable raises TypeError here, naming its type.
    pybind11::function override = lookUpPython(self, name);
    if (!override || override.is_cpp_function()) return {};
    return override;
}

}  // namespace velmo::binding

#pragma once

#include <VelmoBinding/Gil.h>
#include <VelmoBinding/TextSignatures.h>

#include <pybind11/pybind11.h>

#include <initializer_list>

namespace velmo::binding {

// Every module's entry begins with beginModule and ends with finishModule.

// Imports the modules whose types this module's signatures name, so that pybind11 names them
// there. The module's interpreter gate is registered first so that atexit, which runs its
// handlers last to first, closes it after every exit handler the bindings register: those may
// still need native threads to call Python.
inline void beginModule(std::initializer_list<const char*> importedFirst) {
    closeInterpreterGateAtExit();
    for (const char* name : importedFirst) pybind11::module_::import(name);
}

// Gives the module's functions and methods text signatures, for inspect.signature.
inline void finishModule(pybind11::module_& module) { addTextSignatures(module); }

// `with obj:` hands the object itself to the block, refusing through requireOpen one that is
// already closed, and closes it however the block is left.
template <typename Class, typename RequireOpen, typename Close>
void closesOnExit(Class& cls, RequireOpen requireOpen, Close close) {
    using Bound = typename Class::type;
    cls.def(
           "__enter__",
           [requireOpen](Bound& self) -> Bound& {
               requireOpen(self);
               return self;
           },
           pybind11::return_value_policy::reference)
        .def(
            "__exit__",
            [close](Bound& self, const pybind11::object&, const pybind11::object&, const pybind11::object&) {
                close(self);
            },
            pybind11::arg("exc_type"), pybind11::arg("exc_value"), pybind11::arg("traceback"));
}

}  // namespace velmo::binding

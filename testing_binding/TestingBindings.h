#pragma once

#include <pybind11/pybind11.h>

// Each binds one family of velmo.testing's Python API into the module.
void bindTestingEvents(pybind11::module_& module);
void bindTestingToolHooks(pybind11::module_& module);

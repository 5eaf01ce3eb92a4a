#pragma once

#include <pybind11/pybind11.h>

// Each binds one family of velmo._io's Python API into the module.
void bindIoTriggerDtype(pybind11::module_& module);
void bindIoStream(pybind11::module_& module);
void bindIoDecoding(pybind11::module_& module);
void bindIoWriting(pybind11::module_& module);
void bindIoRecording(pybind11::module_& module);

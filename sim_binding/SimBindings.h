#pragma once

#include <pybind11/pybind11.h>

// Each binds one family of velmo.sim's Python API into the module.
void bindSimCamera(pybind11::module_& module);
void bindSimLogging(pybind11::module_& module);
// After bindSimCamera: it adds Camera.record.
void bindSimRecording(pybind11::module_& module);
// After bindSimCamera: it adds Camera.settings, Camera.apply_settings and Camera.tool.
void bindSimSettings(pybind11::module_& module);

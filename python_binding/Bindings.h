#pragma once

#include <pybind11/pybind11.h>

// The binding functions of velmo_hal_py, one per family of types. The module entry runs
// bindDeviceDescriptions, then bindTools; bindTools calls bindCameraTool between the
// registry base and the IMX636 tools, which name CameraTool as their base.
void bindDeviceDescriptions(pybind11::module_& module);
void bindTools(pybind11::module_& module);
void bindCameraTool(pybind11::module_& module);

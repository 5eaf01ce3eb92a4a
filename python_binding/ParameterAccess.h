#pragma once

#include <VelmoHal/camera/tools/CameraToolPrivate.h>

#include <pybind11/pybind11.h>

#include <string>

// Python cannot pick a typed overload of getParamInfo / getParam by itself, so these pick it
// from the parameter's declared type in the tool's parameter table and return a tuple:
// (ok, record or value) for INT, FLOAT, BOOL and ENUM parameters, (False, None) for a name
// the table lacks, and () for a STRING parameter or a type without an enumerator.
pybind11::tuple getParamInfoAsTuple(velmo::CameraTool& tool, std::string name);
pybind11::tuple getParamAsTuple(velmo::CameraTool& tool, std::string name);

// The same, with the table built straight from the tool's registry rather than through the
// virtual getAllParamInfo.
pybind11::tuple getParamInfoAsTuple(velmo::CameraToolBasePrivate& tool, std::string name);
pybind11::tuple getParamAsTuple(velmo::CameraToolBasePrivate& tool, std::string name);

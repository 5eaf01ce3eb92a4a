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

// The value of set_param's bool overload: True, False, a NumPy bool, or None (as false) once
// conversions are allowed. pybind11's own bool conversion takes the truth value of any number,
// so a value that fits no other overload (2**1100, 1+2j, a Decimal) would reach the tool as true.
struct SetParamBool {
    bool value;
};

namespace pybind11::detail {

template <>
struct type_caster<SetParamBool> {
    PYBIND11_TYPE_CASTER(SetParamBool, const_name("bool"));

    bool load(handle source, bool convert) {
        if (source.is_none()) {
            value.value = false;
            return convert;
        }
        make_caster<bool> exact;
        if (!exact.load(source, false)) return false;
        value.value = cast_op<bool>(exact);
        return true;
    }
};

}  // namespace pybind11::detail

// set_param's bool overload, on the tool's virtual setParam(std::string, const bool&).
bool setParamBool(velmo::CameraTool& tool, std::string name, SetParamBool value);

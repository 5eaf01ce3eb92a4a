#pragma once

#include <VelmoFrames/Kernels.h>

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <string>

// The arguments velmo.frames takes, checked as they are converted, so that a wrong one is
// refused with an error that names it rather than pybind11's list of supported signatures.
namespace velmo::frames {

// A one-dimensional array of the event data type, any view of one included. The array is held
// for the whole call: that keeps its memory, which the passes read without the interpreter
// lock, alive and unresized.
struct EventArray {
    pybind11::array array;

    EventRun run() const;
};

// Whether `array` holds records of the event data type; a wrong one is named as `argument`.
void requireEvents(const pybind11::array& array, const char* argument);

// `shape` as (height, width), each from 1 to 65536.
struct Shape {
    FrameShape frame;
};

}  // namespace velmo::frames

namespace pybind11::detail {

template <>
struct type_caster<velmo::frames::EventArray> {
    PYBIND11_TYPE_CASTER(velmo::frames::EventArray, const_name("numpy.ndarray[velmo_base_py.Event2D]"));
    bool load(handle source, bool convert);
};

template <>
struct type_caster<velmo::frames::Shape> {
    PYBIND11_TYPE_CASTER(velmo::frames::Shape, const_name("tuple[int, int]"));
    bool load(handle source, bool convert);
};

}  // namespace pybind11::detail

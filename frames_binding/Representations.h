#pragma once

#include "Arguments.h"

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/typing.h>

#include <cstdint>
#include <optional>
#include <string>

// What each function of velmo.frames does between its Python arguments and the kernels: check
// the values, allocate the result, and run the pass with the interpreter lock released.
namespace velmo::frames {

// The colours of render, one fact shared by the pictures and the key that names them.
extern const Palette kPalette;

std::size_t outsideOf(const EventArray& events, const Shape& shape);
pybind11::array histogramOf(const EventArray& events, const Shape& shape, bool split);
pybind11::array_t<float> timeSurfaceOf(const EventArray& events, const Shape& shape, std::int64_t t_us,
                                       double tau_us, bool split);
pybind11::array_t<float> voxelGridOf(const EventArray& events, const Shape& shape, std::int64_t bins,
                                     std::optional<std::int64_t> start_us, std::optional<std::int64_t> end_us);
pybind11::array columnsOf(const EventArray& events, const std::string& order, const pybind11::object& dtype);
pybind11::array_t<std::uint8_t> renderOf(const pybind11::array& source, const Shape& shape);
// (start_us, end_us, events) of each window.
using Windows = pybind11::typing::List<pybind11::typing::Tuple<pybind11::int_, pybind11::int_, pybind11::array_t<Event2D>>>;

Windows windowsOf(const EventArray& events, std::optional<std::int64_t> duration_us,
                         std::optional<std::int64_t> count);
pybind11::dict paletteTable();

}  // namespace velmo::frames

#include "Representations.h"

#include <VelmoBinding/ModuleEntry.h>

#include <pybind11/numpy.h>
#include <pybind11/stl.h>

namespace py = pybind11;
namespace frames = velmo::frames;

// velmo.frames: the representations of events that learning and display start from, each one
// pass over an array of events with the interpreter lock released. velmo_base_py registers the
// event data type, so it is imported first.
PYBIND11_MODULE(frames, module) {
    module.doc() =
        "Event representations in one native pass: histograms, time surfaces, voxel grids, plain columns, "
        "pictures and time windows of arrays of events.\n\n"
        "Every function takes any one-dimensional array of the event data type, views and strided slices "
        "included, reads it in place without copying it, and releases the interpreter lock while it works. "
        "`shape` is (height, width) in pixels. Events at x >= width or y >= height are left out of every "
        "representation (never written anywhere); count_outside(events, shape) says how many there are.";
    velmo::binding::beginModule({"velmo_base_py"});

    module.def("count_outside", &frames::outsideOf,
               "The number of events at x >= width or y >= height, which the representations leave out.",
               py::arg("events"), py::arg("shape"));

    module.def("histogram", &frames::histogramOf,
               "Event counts per pixel: (2, height, width) with OFF (polarity 0) then ON (any other polarity) "
               "when split_polarity, else (height, width). uint32, or uint64 for an array of more than "
               "2**32 - 1 events.",
               py::arg("events"), py::arg("shape"), py::kw_only(), py::arg("split_polarity") = true);

    module.def("time_surface", &frames::timeSurfaceOf,
               "exp(-(t_us - t_last) / tau_us) for each pixel, t_last being the time stamp of its latest event "
               "at or before t_us (in any order of the array), and 0 where it has none. float32, shaped as "
               "histogram's.",
               py::arg("events"), py::arg("shape"), py::kw_only(), py::arg("t_us"), py::arg("tau_us"),
               py::arg("split_polarity") = true);

    module.def("voxel_grid", &frames::voxelGridOf,
               "The temporal bilinear voxel grid, float32 (bins, height, width). An event at time t lands at "
               "t' = (bins - 1) (t - start_us) / (end_us - start_us) and adds its polarity (+1 ON, -1 OFF) times "
               "1 - |t' - b| to each of the two bins b nearest t'; when end_us equals start_us all land in bin 0. "
               "start_us and end_us default to the time stamps of the first and the last event (the whole of a "
               "time-sorted array); events outside [start_us, end_us] are left out.",
               py::arg("events"), py::arg("shape"), py::arg("bins"), py::kw_only(), py::arg("start_us") = py::none(),
               py::arg("end_us") = py::none());

    module.def("to_columns", &frames::columnsOf,
               "A new C-contiguous (N, 4) array of the events' fields in the column order given by the letters "
               "t (time stamp), x, y and p (polarity), for learning frameworks. dtype is int64, int32, float64 or "
               "float32; int32 refuses time stamps it cannot hold, and the floating-point types round time stamps "
               "beyond 2**53 (float64) or 2**24 (float32).",
               py::arg("events"), py::arg("order") = "txyp",
               py::arg_v("dtype", py::module_::import("numpy").attr("int64"), "numpy.int64"));

    module.def("render", &frames::renderOf,
               "An RGB uint8 picture (height, width, 3) of events, or of a split histogram (2, height, width), "
               "each pixel coloured by what it saw: PALETTE['on'] where ON events only, PALETTE['off'] where "
               "OFF events only, PALETTE['both'] where both, and PALETTE['none'] where none.",
               py::arg("events_or_histogram"), py::arg("shape"));

    module.def("windows", &frames::windowsOf,
               "The array cut into consecutive windows, as a list of (start_us, end_us, events) with events a "
               "view (no copy) of the array. duration_us gives windows [start_us, end_us) of that length from the "
               "first event's time stamp on, empty ones included, up to the one holding the last event; count "
               "gives windows of that many events (the last may hold fewer), spanning [first t, last t + 1). "
               "The array must be sorted by time stamp.",
               py::arg("events"), py::kw_only(), py::arg("duration_us") = py::none(), py::arg("count") = py::none());

    module.attr("PALETTE") = py::module_::import("types").attr("MappingProxyType")(frames::paletteTable());
    velmo::binding::finishModule(module);
}

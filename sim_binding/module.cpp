#include "SimBindings.h"

namespace py = pybind11;

// velmo_sim is the Python face of the simulated device and the home of test-only hooks. The
// types it hands out (camera descriptions, formats, tools, records, Event2D and its NumPy
// data type) are registered by velmo_hal_py and velmo_base_py, so those are imported first;
// this module registers only the data type of trigger edges, which no other module hands out.
PYBIND11_MODULE(velmo_sim, module) {
    py::module_::import("velmo_hal_py");
    py::module_::import("velmo_base_py");
    bindSimEvents(module);
    bindSimTriggerDtype(module);
    bindSimCamera(module);
    bindSimToolHooks(module);
    bindSimBench(module);
    bindSimDecoding(module);
}

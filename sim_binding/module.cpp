#include "SimBindings.h"

#include <VelmoBase/Event2D.h>
#include <VelmoBinding/Gil.h>
#include <VelmoBinding/TextSignatures.h>

#include <pybind11/numpy.h>

namespace py = pybind11;

// velmo_sim is the Python face of the simulated device. The types it hands out (camera
// descriptions, formats, tools, records, Event2D and its NumPy data type) are registered by
// velmo_hal_py and velmo_base_py, so those are imported first; this module registers only the
// data type of trigger edges, which no other module hands out.
PYBIND11_MODULE(velmo_sim, module) {
    module.doc() =
        "A simulated IMX636 event camera: discovery, its raw format, a deterministic synthetic event "
        "stream read into NumPy, its six tools, and the device library's log lines sent to Python's logging "
        "on request.";
    // First, so that it runs after the exit handlers the bindings register, which may still
    // need native threads to call Python.
    velmo::binding::closeInterpreterGateAtExit();
    py::module_::import("velmo_hal_py");
    py::module_::import("velmo_base_py");
    module.def(
        "event_dtype", [] { return py::dtype::of<velmo::Event2D>(); },
        "The NumPy data type registered for Event2D.");
    bindSimTriggerDtype(module);
    bindSimStream(module);
    bindSimCamera(module);
    bindSimDecoding(module);
    bindSimWriting(module);
    bindSimRecording(module);
    bindSimSettings(module);
    bindSimLogging(module);
    velmo::binding::addTextSignatures(module);
}

#include "SimBindings.h"

#include <VelmoBinding/ModuleEntry.h>
#include <VelmoIo/DeviceReading.h>

namespace py = pybind11;

// velmo.sim is the Python face of the simulated device. The types it hands out are registered
// by the modules imported first: camera descriptions, formats, tools and records by
// velmo_hal_py, Event2D and its data type by velmo_base_py, streams, slices and the trigger data
// type by velmo._io, whose streams read the camera.
PYBIND11_MODULE(sim, module) {
    module.doc() =
        "A simulated IMX636 event camera: discovery, its raw format, a deterministic synthetic event "
        "stream read into NumPy, streamed and recorded, its six tools, and the device library's log lines "
        "sent to Python's logging on request.";
    velmo::binding::beginModule({"velmo_hal_py", "velmo_base_py"});
    velmo::io::loadDeviceReading();
    bindSimCamera(module);
    bindSimRecording(module);
    bindSimSettings(module);
    bindSimLogging(module);
    velmo::binding::finishModule(module);
}

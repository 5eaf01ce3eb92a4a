#include "IoBindings.h"
#include "Streaming.h"

#include <VelmoBase/Event2D.h>
#include <VelmoBinding/ModuleEntry.h>
#include <VelmoIo/DeviceReading.h>

#include <pybind11/numpy.h>

namespace py = pybind11;

namespace {

const velmo::io::DeviceReading kDeviceReading{
    [](py::object owner, const void* device, std::string what, std::shared_ptr<velmo::SliceSource> source,
       std::int64_t slice_us, bool realtime, std::int64_t max_backlog,
       std::function<velmo::RecordingHeader()> header) {
        return py::cast(velmo::io::startStream(std::move(owner), device, std::move(what), std::move(source), slice_us,
                                               realtime, max_backlog, std::move(header)));
    },
    &velmo::io::requireNoOtherReader,
    &velmo::io::claimReader,
    &velmo::io::releaseReader,
    &velmo::io::closeStreamOf,
};

}  // namespace

// velmo._io is the native half of velmo.io: events without a camera. It takes nothing from a
// device library, so every build has it, over the stand-in or over the maker's libraries. The
// types it hands out that the device layer defines (camera descriptions, formats, Event2D and
// its data type) are registered by velmo_hal_py and velmo_base_py, which are imported first.
PYBIND11_MODULE(_io, module) {
    module.doc() =
        "The native half of velmo.io: the event and trigger data types, the EVT3 decoder and encoder, "
        "recordings with their playback, streams of slices.";
    velmo::binding::beginModule({"velmo_hal_py", "velmo_base_py"});
    module.def(
        "event_dtype", [] { return py::dtype::of<velmo::Event2D>(); },
        "The NumPy data type registered for Event2D.");
    bindIoTriggerDtype(module);
    bindIoStream(module);
    bindIoDecoding(module);
    bindIoWriting(module);
    bindIoRecording(module);
    module.attr("_device_reading") =
        py::capsule(&kDeviceReading, velmo::io::kDeviceReadingName);
    velmo::binding::finishModule(module);
}

#include "CameraSupport.h"
#include "SimBindings.h"

#include <VelmoBase/Event2D.h>
#include <VelmoBinding/Gil.h>
#include <VelmoBinding/ModuleEntry.h>
#include <VelmoBinding/NativeObjects.h>
#include <VelmoCodec/TriggerEvent.h>
#include <VelmoIo/Arguments.h>
#include <VelmoIo/Arrays.h>
#include <VelmoIo/DeviceReading.h>
#include <VelmoIo/Reading.h>
#include <VelmoSim/SimulatedCamera.h>

#include <pybind11/numpy.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace py = pybind11;

namespace {

std::unique_ptr<velmo::SimulatedCamera> openCamera(const std::optional<std::string>& serial) {
    if (!serial) return velmo::SimulatedCamera::open("");
    // The device opens the first camera for an empty serial; from Python that is spelled None,
    // and an empty text is a serial that no camera has.
    if (serial->empty()) throw py::value_error("no simulated camera has the serial \"\"");
    return velmo::SimulatedCamera::open(*serial);
}

void requireOpen(const velmo::SimulatedCamera& camera) {
    if (camera.isClosed()) throw py::value_error("the camera " + camera.description().serial + " is closed");
}

// A camera has one reader at a time: while it streams or records, only that reads it.
void requireReadable(const velmo::SimulatedCamera& camera) {
    requireOpen(camera);
    velmo::io::deviceReading().requireNoOtherReader(&camera);
}

void closeCamera(velmo::SimulatedCamera& camera) {
    velmo::io::deviceReading().closeStreamOf(&camera);
    camera.close();
}

velmo::io::StreamObject streamCamera(velmo::SimulatedCamera& camera, std::int64_t slice_us, bool realtime,
                                     std::int64_t max_backlog) {
    requireOpen(camera);
    // The stream holds the camera's Python object, which owns the camera, for as long as it reads.
    py::object owner = py::cast(&camera, py::return_value_policy::reference);
    const std::shared_ptr<velmo::SliceSource> source(std::shared_ptr<void>(), &camera);
    return {velmo::io::deviceReading().stream(std::move(owner), &camera, "camera " + camera.description().serial,
                                              source, slice_us, realtime, max_backlog,
                                              [&camera] { return velmo::sim::cameraRecordingHeader(camera); })};
}

std::string cameraRepr(const velmo::SimulatedCamera& camera) {
    return "<velmo.sim.Camera " + camera.description().serial + (camera.isClosed() ? " closed>" : " open>");
}

py::array_t<velmo::Event2D> readEvents(velmo::SimulatedCamera& camera, py::ssize_t count) {
    requireReadable(camera);
    // The camera sets every byte of the records it writes, fill bytes to zero, so no stale
    // memory reaches Python and reads of the same stream give the same bytes.
    return velmo::io::readEventsInterruptibly(camera, count, [](auto&& read) { read(); });
}

velmo::io::EventsAndTriggers readSpan(velmo::SimulatedCamera& camera, std::int64_t duration_us) {
    requireReadable(camera);
    const std::uint64_t span = velmo::io::readableSpan(duration_us);
    std::vector<velmo::Event2D> events;
    std::vector<velmo::TriggerEvent> triggers;
    {
        velmo::binding::ReleasedGil released;
        // Room for a little more than the default rate, so that the vector rarely moves; pages
        // that are not written are never touched.
        events.reserve(static_cast<std::size_t>(span + span / 4));
        camera.read(span, events, triggers);
    }
    // The camera sets every byte of the records, fill bytes to zero, so nothing stale reaches
    // Python.
    return {velmo::io::arrayOwning(std::move(events)), velmo::io::arrayOwning(std::move(triggers))};
}

py::bytes readRaw(velmo::SimulatedCamera& camera, std::int64_t duration_us) {
    requireReadable(camera);
    const std::uint64_t span = velmo::io::readableSpan(duration_us);
    std::vector<std::uint8_t> raw;
    {
        velmo::binding::ReleasedGil released;
        camera.readRaw(span, raw);
    }
    return py::bytes(reinterpret_cast<const char*>(raw.data()), static_cast<py::ssize_t>(raw.size()));
}

}  // namespace

void bindSimCamera(py::module_& module) {
    // The class comes first so that open_camera's signature names it as velmo.sim.Camera.
    py::class_<velmo::SimulatedCamera> camera(module, "Camera",
                                              "An opened simulated camera (open_camera makes one). Usable as a "
                                              "context manager that closes it; a closed camera refuses reads with "
                                              "ValueError.",
                                              velmo::binding::guardedNativeObject());
    velmo::binding::refuseCopies(camera, "a camera is a device; open it again with open_camera");
    velmo::binding::closesOnExit(camera, &requireOpen, &closeCamera);
    camera
        .def("__repr__", &cameraRepr)
        .def("close", &closeCamera,
             "Closes the camera, and its stream if it has one: later reads raise ValueError. Closing twice is "
             "harmless.")
        .def_property_readonly(
            "description", [](const velmo::SimulatedCamera& camera) { return camera.description(); },
            "A copy of the camera's description.")
        .def_property_readonly(
            "raw_format", [](const velmo::SimulatedCamera& camera) { return camera.rawFormat(); },
            "A copy of the camera's raw event stream format.")
        .def("read_events", &readEvents,
             "The next n events of the stream as a NumPy array of the Event2D data type, as the tools' "
             "settings let them through; shorter when the filters pass too few.",
             py::arg("n"))
        .def("read", &readSpan,
             "The events and the trigger events of the next duration_us microseconds of sensor time, as a "
             "pair of NumPy arrays (the Event2D and the trigger data type); the stream moves on by exactly "
             "that span. At most 10 s a call. Trigger events come only while trigger input is enabled; "
             "read_events returns none, and the edges in the span it reads are dropped.",
             py::arg("duration_us"))
        .def("read_raw", &readRaw,
             "The raw EVT3 bytes of the next duration_us microseconds of sensor time: what read gives for "
             "that span (trigger events included), encoded as the camera's raw_format says. Each call's bytes "
             "are a stream of their own, which leads with the time words from time 0 on: a new Decoder (or "
             "velmo.io.decode, or one reset before each call's bytes) gives exactly what read gave. At most 10 s "
             "a call.",
             py::arg("duration_us"))
        .def("stream", &streamCamera,
             "A Stream of the next slices of slice_us microseconds of sensor time (at most 10 s each), read "
             "ahead on a native thread into a queue of at most max_backlog slices. Not realtime, the thread "
             "waits while the queue is full and nothing is dropped. Realtime, sensor time follows the wall "
             "clock: a slice is delivered once its span has passed, and a slice that finds the queue full is "
             "dropped whole and counted. While the stream is open the camera's other reads raise "
             "RuntimeError; after it closes they go on from where the stream stopped. Tool settings apply "
             "from the next slice read.",
             py::arg("slice_us") = 10'000, py::arg("realtime") = false,
             py::arg("max_backlog") = velmo::io::kDefaultMaxBacklog)
        .def("tools", &velmo::SimulatedCamera::tools, "The camera's six tools, in ToolType order.");

    module.def("list_cameras", &velmo::discoverCameras, "Descriptions of every simulated camera, in a fixed order.");

    module.def("open_camera", &openCamera,
               "Opens the simulated camera with this serial, or the first one for None; an unknown serial "
               "raises ValueError.",
               py::arg("serial") = py::none());
}

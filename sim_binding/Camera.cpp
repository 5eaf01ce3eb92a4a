#include "SimBindings.h"

#include <VelmoBase/Event2D.h>
#include <VelmoHal/device/SimulatedCamera.h>
#include <VelmoHal/device/TriggerEvent.h>

#include <pybind11/numpy.h>
#include <pybind11/stl.h>

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

py::array_t<velmo::Event2D> readEvents(velmo::SimulatedCamera& camera, py::ssize_t count) {
    if (count < 0) throw py::value_error("n must not be negative, got " + std::to_string(count));
    py::array_t<velmo::Event2D> events(count);
    const auto requested = static_cast<std::size_t>(count);
    velmo::Event2D* out = events.mutable_data();
    std::size_t written = 0;
    {
        // The camera serialises its own reads, and the array is ours alone until it is returned.
        // The camera sets every byte of the records it writes, fill bytes to zero, so no stale
        // memory reaches Python and reads of the same stream give the same bytes.
        py::gil_scoped_release release;
        written = camera.readEvents(out, requested);
    }
    if (written < requested) events.resize({static_cast<py::ssize_t>(written)});
    return events;
}

// Hands a vector's records to NumPy without copying them: the array owns the vector.
template <typename Record>
py::array_t<Record> arrayOwning(std::vector<Record>&& records) {
    auto* owned = new std::vector<Record>(std::move(records));
    py::capsule owner(owned, [](void* pointer) { delete static_cast<std::vector<Record>*>(pointer); });
    return py::array_t<Record>(static_cast<py::ssize_t>(owned->size()), owned->data(), owner);
}

// Refusing a long span up front bounds what one call may allocate: at the default settings
// ten seconds are about ten million events, 160 MB.
std::pair<py::array_t<velmo::Event2D>, py::array_t<velmo::TriggerEvent>> readSpan(velmo::SimulatedCamera& camera,
                                                                               std::int64_t duration_us) {
    if (duration_us < 0) throw py::value_error("duration_us must not be negative, got " + std::to_string(duration_us));
    const auto span = static_cast<std::uint64_t>(duration_us);
    if (span > velmo::SimulatedCamera::kMaxReadSpanUs)
        throw py::value_error("duration_us must be at most " + std::to_string(velmo::SimulatedCamera::kMaxReadSpanUs) +
                              " (read longer spans in pieces), got " + std::to_string(duration_us));
    std::vector<velmo::Event2D> events;
    std::vector<velmo::TriggerEvent> triggers;
    {
        py::gil_scoped_release release;
        // Room for a little more than the default rate, so that the vector rarely moves; pages
        // that are not written are never touched.
        events.reserve(static_cast<std::size_t>(span + span / 4));
        camera.read(span, events, triggers);
    }
    // The camera sets every byte of the records, fill bytes to zero, so nothing stale reaches
    // Python.
    return {arrayOwning(std::move(events)), arrayOwning(std::move(triggers))};
}

std::shared_ptr<velmo::CameraTool> cameraTool(const velmo::SimulatedCamera& camera, velmo::ToolType type) {
    std::shared_ptr<velmo::CameraTool> tool = camera.tool(type);
    if (!tool) throw py::key_error("the simulated camera has no " + velmo::to_string(type) + " tool");
    return tool;
}

}  // namespace

void bindSimCamera(py::module_& module) {
    // The class comes first so that open_camera's signature names it as velmo_sim.Camera.
    py::class_<velmo::SimulatedCamera>(module, "Camera")
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
        .def("tools", &velmo::SimulatedCamera::tools, "The camera's six tools, in ToolType order.")
        .def("tool", &cameraTool,
             "The camera's tool of this kind, the same object every time; KeyError for a kind it lacks.",
             py::arg("tool_type"));

    module.def("list_cameras", &velmo::discoverCameras, "Descriptions of every simulated camera, in a fixed order.");

    module.def("open_camera", &openCamera,
               "Opens the simulated camera with this serial, or the first one for None; an unknown serial "
               "raises ValueError.",
               py::arg("serial") = py::none());
}

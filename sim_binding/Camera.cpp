#include "SimBindings.h"

#include <VelmoBase/Event2D.h>
#include <VelmoHal/device/SimulatedCamera.h>

#include <pybind11/numpy.h>
#include <pybind11/stl.h>

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
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

std::string cameraRepr(const velmo::SimulatedCamera& camera) {
    return "<velmo_sim.Camera " + camera.description().serial + (camera.isClosed() ? " closed>" : " open>");
}

py::array_t<velmo::Event2D> readEvents(velmo::SimulatedCamera& camera, py::ssize_t count) {
    requireOpen(camera);
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

std::shared_ptr<velmo::CameraTool> cameraTool(const velmo::SimulatedCamera& camera, velmo::ToolType type) {
    std::shared_ptr<velmo::CameraTool> tool = camera.tool(type);
    if (!tool) throw py::key_error("the simulated camera has no " + velmo::to_string(type) + " tool");
    return tool;
}

}  // namespace

void bindSimCamera(py::module_& module) {
    // The class comes first so that open_camera's signature names it as velmo_sim.Camera.
    py::class_<velmo::SimulatedCamera>(module, "Camera",
                                       "An opened simulated camera (open_camera makes one). Usable as a context "
                                       "manager that closes it; a closed camera refuses reads with ValueError.")
        .def("__repr__", &cameraRepr)
        .def("close", &velmo::SimulatedCamera::close,
             "Closes the camera: later reads raise ValueError. Closing twice is harmless.")
        .def("__enter__", [](velmo::SimulatedCamera& camera) -> velmo::SimulatedCamera& {
            requireOpen(camera);
            return camera;
        }, py::return_value_policy::reference)
        .def("__exit__", [](velmo::SimulatedCamera& camera, const py::args&) { camera.close(); })
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

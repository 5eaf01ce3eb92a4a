#include "CameraSupport.h"
#include "SimBindings.h"

#include <VelmoBase/Event2D.h>
#include <VelmoBinding/Gil.h>
#include <VelmoBinding/NativeObjects.h>
#include <VelmoCodec/RawFileHeader.h>
#include <VelmoCodec/Recording.h>
#include <VelmoCodec/TriggerEvent.h>
#include <VelmoIo/Arguments.h>
#include <VelmoIo/Arrays.h>
#include <VelmoIo/DeviceReading.h>
#include <VelmoIo/Reading.h>
#include <VelmoSim/SimulatedCamera.h>
#include <VelmoSim/ToolSettings.h>

#include <pybind11/functional.h>
#include <pybind11/numpy.h>
#include <pybind11/stl.h>
#include <pybind11/stl/filesystem.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

namespace py = pybind11;
namespace fs = std::filesystem;

namespace {

// Short enough that Ctrl-C and the progress callback are seen several times a second of
// recording, long enough that the per-span cost stays small beside the span's own.
constexpr std::uint64_t kRecordSpanUs = 100'000;


void recordCamera(velmo::SimulatedCamera& camera, const velmo::io::PathArgument& path_argument,
                  std::int64_t duration_us, bool overwrite,
                  const std::optional<std::function<py::object(std::uint64_t)>>& progress) {
    const fs::path path = velmo::io::pathOf(path_argument);
    if (camera.isClosed()) throw py::value_error("the camera " + camera.description().serial + " is closed");
    const std::uint64_t duration = velmo::io::nonNegative(duration_us, "duration_us");
    const velmo::io::ReaderClaim recording(&camera, "camera " + camera.description().serial +
                                                         " is recording: wait for its record call to return before "
                                                         "reading from it otherwise");
    const velmo::RecordingHeader header = velmo::sim::cameraRecordingHeader(camera);
    velmo::io::withFileErrors(path, [&] {
        velmo::RecordingWriter writer(path.string(), header, overwrite, header.start_us + duration);
        std::vector<velmo::Event2D> events;
        std::vector<velmo::TriggerEvent> triggers;
        std::uint64_t done = 0;
        // Stopped early (Ctrl-C, an error of the callback), the file is finished where the data
        // ends: a shorter recording, not a cut one.
        try {
            while (done < duration) {
                const std::uint64_t span = std::min(kRecordSpanUs, duration - done);
                {
                    velmo::binding::ReleasedGil released;
                    events.clear();
                    triggers.clear();
                    camera.read(span, events, triggers);
                    writer.append(events.data(), events.size(), triggers.data(), triggers.size(),
                                  header.start_us + done + span);
                }
                done += span;
                if (progress) (*progress)(span);
                if (PyErr_CheckSignals() != 0) throw py::error_already_set();
            }
        } catch (...) {
            writer.finish();
            throw;
        }
        writer.finish();
    });
}

}  // namespace

velmo::RecordingHeader velmo::sim::cameraRecordingHeader(const SimulatedCamera& camera) {
    RecordingHeader header;
    header.raw_format = velmo::sim::codecFormat(camera.rawFormat()).text();
    header.camera = camera.description();
    header.settings = recordedSettings(camera.tools());
    header.recorded_at = utcTimestampNow();
    header.start_us = camera.positionUs();
    return header;
}

void bindSimRecording(py::module_& module) {
    auto camera = py::reinterpret_borrow<py::class_<velmo::SimulatedCamera>>(module.attr("Camera"));
    camera.def("record", &recordCamera,
               "Records the next duration_us microseconds of the camera's stream to a new recording file: a "
               "header (the format, the camera's description, the tools' settings now, the time) and the raw "
               "EVT3 data. FileExistsError when the file exists, unless overwrite is true. progress, when given, "
               "is called with each recorded span's length in microseconds. Stopped early (Ctrl-C, an error of "
               "progress), the file is left a finished, shorter recording. While it records, the camera's other "
               "reads, streams and records raise RuntimeError, from progress too.",
               py::arg("path"), py::arg("duration_us"), py::arg("overwrite") = false, py::arg("progress") = py::none());
}

#include "IoBindings.h"
#include "Streaming.h"

#include <VelmoBase/Event2D.h>
#include <VelmoBinding/Gil.h>
#include <VelmoBinding/ModuleEntry.h>
#include <VelmoBinding/NativeObjects.h>
#include <VelmoCodec/RawFileHeader.h>
#include <VelmoCodec/Recording.h>
#include <VelmoCodec/TriggerEvent.h>
#include <VelmoIo/Arguments.h>
#include <VelmoIo/Arrays.h>
#include <VelmoIo/Reading.h>

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

// A recording opened for playback. Closing it makes later reads refuse; the file is let go
// when the object goes.
class Recording {
public:
    Recording(const fs::path& path, const std::optional<velmo::RawFormat>& raw_format) : path_(path) {
        velmo::io::withFileErrors(path, [&] {
            velmo::binding::ReleasedGil released;
            playback_ = velmo::openPlayback(path.string(), raw_format);
        });
    }

    const velmo::RecordingHeader& header() const { return playback_->file().header(); }
    const velmo::RecordingReader& file() const { return playback_->file(); }
    const fs::path& path() const { return path_; }
    // The playback for a read of the recording's own: refused while a stream reads it.
    velmo::RecordingPlayback& playback() {
        requireOpen();
        velmo::io::requireNoOtherReader(playback_.get());
        return *playback_;
    }
    void requireOpen() const {
        if (closed_) throw py::value_error("the recording " + path_.string() + " is closed");
    }
    const std::shared_ptr<velmo::RecordingPlayback>& source() const { return playback_; }
    void close() {
        velmo::io::closeStreamOf(playback_.get());
        closed_ = true;
    }
    bool closed() const { return closed_; }

private:
    fs::path path_;
    std::shared_ptr<velmo::RecordingPlayback> playback_;
    std::atomic<bool> closed_{false};
};

std::unique_ptr<velmo::io::Stream> streamRecording(Recording& recording, std::int64_t slice_us, bool realtime,
                                                    std::int64_t max_backlog) {
    recording.requireOpen();
    // The stream holds the recording's Python object, which owns the playback, while it reads.
    py::object owner = py::cast(&recording, py::return_value_policy::reference);
    // A recording of this stream describes what the file does; the stream holds the recording.
    auto header = [&recording] {
        velmo::RecordingHeader header = recording.header();
        header.recorded_at = velmo::utcTimestampNow();
        header.data_bytes.reset();
        header.end_us.reset();
        return header;
    };
    return velmo::io::startStream(std::move(owner), recording.source().get(), "recording " + recording.path().string(),
                                   recording.source(), slice_us, realtime, max_backlog, header);
}

velmo::io::EventsAndTriggers readSpan(Recording& recording, std::int64_t duration_us) {
    velmo::RecordingPlayback& playback = recording.playback();
    const std::uint64_t span = velmo::io::readableSpan(duration_us);
    velmo::RecordBuffer<velmo::Event2D> events;
    velmo::RecordBuffer<velmo::TriggerEvent> triggers;
    velmo::io::withFileErrors(recording.path(), [&] {
        velmo::binding::ReleasedGil released;
        playback.read(span, events, triggers);
    });
    return {velmo::io::arrayOwning(std::move(events)), velmo::io::arrayOwning(std::move(triggers))};
}

py::array_t<velmo::Event2D> readEvents(Recording& recording, py::ssize_t count) {
    velmo::RecordingPlayback& playback = recording.playback();
    return velmo::io::readEventsInterruptibly(
        playback, count, [&](auto&& read) { velmo::io::withFileErrors(recording.path(), read); });
}

py::bytes readRaw(Recording& recording, std::int64_t duration_us) {
    velmo::RecordingPlayback& playback = recording.playback();
    const std::uint64_t span = velmo::io::readableSpan(duration_us);
    std::vector<std::uint8_t> raw;
    velmo::io::withFileErrors(recording.path(), [&] {
        velmo::binding::ReleasedGil released;
        playback.readRaw(span, raw);
    });
    return py::bytes(reinterpret_cast<const char*>(raw.data()), static_cast<py::ssize_t>(raw.size()));
}

void seek(Recording& recording, std::int64_t t_us) {
    velmo::RecordingPlayback& playback = recording.playback();
    const std::uint64_t time = velmo::io::nonNegative(t_us, "t_us");
    velmo::io::withFileErrors(recording.path(), [&] {
        velmo::binding::ReleasedGil released;
        playback.seek(time);
    });
}

py::str recordingRepr(const Recording& recording) {
    return py::str("<velmo.io.Recording {} of {}{}>")
        .format(velmo::io::pathText(recording.path()), recording.header().camera.serial,
                std::string(recording.file().truncated() ? ", cut short" : "") +
                    (recording.closed() ? " closed" : " open"));
}

}  // namespace

void bindIoRecording(py::module_& module) {
    py::class_<Recording> recording(
        module, "Recording",
        "A recording opened for playback (open_recording makes one): the events and trigger events the "
        "camera delivered while it was recorded, through the camera's reading interface, from the "
        "recording's start to its end. Usable as a context manager that closes it.",
        velmo::binding::guardedNativeObject());
    velmo::binding::refuseCopies(recording, "it holds a playback position; open the recording again");
    velmo::binding::closesOnExit(
        recording, [](const Recording& self) { self.requireOpen(); }, [](Recording& self) { self.close(); });
    recording.def("__repr__", &recordingRepr)
        .def("close", &Recording::close, "Closes the recording: later reads raise ValueError. Closing twice is harmless.")
        .def_property_readonly("path", [](const Recording& self) { return velmo::io::pathText(self.path()); },
                               "The recording file's path.")
        .def_property_readonly("description", [](const Recording& self) { return self.header().camera; },
                               "The recorded camera's description.")
        .def_property_readonly(
            "raw_format", [](const Recording& self) { return py::module_::import("velmo_hal_py").attr("RawEventStreamFormat")(self.header().raw_format); },
            "The raw event stream format of the recorded data.")
        .def_property_readonly("version", [](const Recording& self) { return self.header().version; },
                               "The file's format version.")
        .def_property_readonly("recorded_at", [](const Recording& self) { return self.header().recorded_at; },
                               "When the recording began, UTC, in ISO 8601.")
        .def_property_readonly(
            "settings", [](const Recording& self) { return velmo::io::settingsMapping(self.header().settings); },
            "The tools' parameters when the recording began: {tool kind: {name: value}}.")
        .def_property_readonly("start_us", [](const Recording& self) { return self.header().start_us; },
                               "The camera's sensor time at the recording's start; time stamps are the camera's own.")
        .def_property_readonly("end_us", [](const Recording& self) { return self.file().endUs(); },
                               "The sensor time the recording reaches; for a recording cut short, one past the last "
                               "time its data sets.")
        .def_property_readonly(
            "duration_us", [](const Recording& self) { return self.file().endUs() - self.header().start_us; },
            "The recorded span of sensor time, in microseconds.")
        .def_property_readonly("data_bytes", [](const Recording& self) { return self.file().dataBytes(); },
                               "Bytes of raw data the file holds, in complete words.")
        .def_property_readonly("truncated", [](const Recording& self) { return self.file().truncated(); },
                               "True when the file was cut short (its writer never finished it, or it was cut "
                               "later): the reads give the records of its complete words, then end.")
        .def_property_readonly("position_us", [](Recording& self) { return self.playback().positionUs(); },
                               "The sensor time the next read starts at.")
        .def("read_events", &readEvents,
             "The next n events as a NumPy array of the Event2D data type; shorter at the recording's end.",
             py::arg("n"))
        .def("read", &readSpan,
             "The events and the trigger events of the next duration_us microseconds of recorded time, as a pair "
             "of NumPy arrays; past the end both are empty. At most 10 s a call.",
             py::arg("duration_us"))
        .def("read_raw", &readRaw,
             "What read gives for the next duration_us microseconds, as EVT3 bytes that are a stream of their own, "
             "which leads with the time words from time 0 on: a new Decoder (or velmo.io.decode, or one reset "
             "before each call's bytes) gives exactly what read would have. At most 10 s a call.",
             py::arg("duration_us"))
        .def("seek", &seek,
             "Moves position_us to t_us: the next read starts with the first record at or after it and gives what "
             "reading through to t_us would. Looks the place up in the index a finished recording carries; a file "
             "without one (cut short, or raw) is read through once on the first seek, and that index kept.",
             py::arg("t_us"))
        .def("stream", &streamRecording,
             "A Stream of the recording's next slices of slice_us microseconds of recorded time (at most 10 s "
             "each), read ahead on a native thread into a queue of at most max_backlog slices; it ends with the "
             "recording. Realtime, the slices come at the pace they were recorded, and a slice that finds the "
             "queue full is dropped and counted. While the stream is open the recording's other reads raise "
             "RuntimeError; after it closes they go on from where the stream stopped.",
             py::arg("slice_us") = 10'000, py::arg("realtime") = false,
             py::arg("max_backlog") = velmo::io::kDefaultMaxBacklog);

    module.def(
        "open_recording",
        [](const velmo::io::PathArgument& path, const velmo::io::FormatArgument& raw_format) {
            return std::make_unique<Recording>(velmo::io::pathOf(path), velmo::io::formatOf(raw_format));
        },
        "Opens a recording file for playback, or a raw EVT3 file: one that begins with a text header (lines "
        "starting with \"% \", its format line giving the format), or a headerless one given raw_format. OSError "
        "(FileNotFoundError, ...) when the file cannot be read; ValueError naming the path for a file that is not "
        "a recording, one of a newer format version, a malformed header, a raw format missing or contradicted, or "
        "raw data that is not EVT3. A file cut short opens, with truncated set.",
        py::arg("path"), py::kw_only(), py::arg("raw_format") = py::none());
}

#include "Arrays.h"
#include "RecordingSupport.h"
#include "SimBindings.h"
#include "Streaming.h"

#include <VelmoBase/Event2D.h>
#include <VelmoBinding/Gil.h>
#include <VelmoBinding/NativeObjects.h>
#include <VelmoHal/device/SimulatedCamera.h>
#include <VelmoHal/device/SliceStream.h>
#include <VelmoHal/device/TriggerEvent.h>

#include <pybind11/numpy.h>
#include <pybind11/stl.h>
#include <pybind11/stl/filesystem.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

namespace py = pybind11;

namespace velmo::sim {

namespace {

// The consumer waits for a slice in steps this long, taking the interpreter lock between two
// of them to see signals (Ctrl-C).
constexpr std::chrono::milliseconds kWaitStep{20};

// The open streams, by the device each reads from; touched only with the interpreter lock held.
// Never destroyed: a stream collected while static destructors run still looks itself up.
std::unordered_map<const void*, Stream*>& openStreams() {
    static auto& streams = *new std::unordered_map<const void*, Stream*>();
    return streams;
}

// Streams still open when the interpreter exits would read on while it finalizes. Each is held
// by a reference while it closes: closing gives up the interpreter lock, and another thread may
// drop the last one meanwhile.
void closeOpenStreams() {
    std::vector<py::object> open;
    for (const auto& [device, stream] : openStreams())
        open.push_back(py::cast(stream, py::return_value_policy::reference));
    for (const py::object& stream : open) stream.cast<Stream&>().close();
}

std::string streamRepr(const Stream& stream) {
    return "<velmo_sim.Stream of " + stream.what() + ", " + std::to_string(stream.options().slice_us) + " us slices" +
           (stream.options().realtime ? ", realtime" : "") + (stream.closed() ? ", closed>" : ", open>");
}

std::string sliceRepr(const Slice& slice) {
    return "<velmo_sim.Slice " + std::to_string(slice.start_us) + " to " + std::to_string(slice.end_us) + " us, " +
           std::to_string(slice.events.size()) + " events, " + std::to_string(slice.triggers.size()) +
           " trigger events, " + std::to_string(slice.dropped_slices_before) + " slices dropped before>";
}

}  // namespace

Stream::Stream(py::object owner, const void* device, std::string what, std::shared_ptr<SliceStream> stream,
               std::uint64_t origin_us, std::function<RecordingHeader()> header)
    : owner_(std::move(owner)), device_(device), what_(std::move(what)), stream_(std::move(stream)),
      options_(stream_->options()), origin_us_(origin_us), header_(std::move(header)) {
    openStreams()[device_] = this;
}

// The producer never takes the interpreter lock, so it is stopped with the lock held: the wait
// is for the slice in hand at most. A recording that cannot be finished here stays a recording
// cut short, which still reads.
Stream::~Stream() {
    try {
        finishRecording();
    } catch (const std::exception&) {
    }
    if (!stream_) return;
    stream_->stop();
    forget(*stream_);
}

void Stream::close() {
    const std::shared_ptr<SliceStream> stream = std::move(stream_);
    if (recorder_) withFileErrors(recorder_->path(), [this] { finishRecording(); });
    if (!stream) return;
    {
        binding::ReleasedGil released;
        stream->stop();
    }
    forget(*stream);
}

Slice Stream::next() {
    const std::shared_ptr<SliceStream> stream = stream_;
    if (!stream) throw py::stop_iteration();
    StreamSlice slice;
    for (;;) {
        SliceStream::Next got = SliceStream::Next::NotYet;
        try {
            binding::ReleasedGil released;
            got = stream->next(slice, kWaitStep);
        } catch (...) {
            close();
            throw;
        }
        if (got == SliceStream::Next::Slice) {
            record(slice);
            break;
        }
        if (got == SliceStream::Next::Ended) {
            close();
            throw py::stop_iteration();
        }
        if (PyErr_CheckSignals() != 0) {
            py::error_already_set interrupted;
            close();
            throw interrupted;
        }
    }
    return Slice{arrayOwning(std::move(slice.events)),
                 arrayOwning(std::move(slice.triggers)),
                 slice.start_us,
                 slice.end_us,
                 slice.dropped_slices_before,
                 slice.dropped_events_before};
}

void Stream::recordTo(const PathArgument& path_argument, bool overwrite) {
    const std::filesystem::path path = pathOf(path_argument);
    if (!stream_) throw py::value_error("the stream is closed");
    if (recorder_) throw py::value_error("the stream is already recording to " + recorder_->path());
    RecordingHeader header = header_();
    header.start_us = origin_us_ + delivered_until_us_;
    withFileErrors(path, [&] { recorder_ = std::make_unique<RecordingWriter>(path.string(), header, overwrite); });
}

void Stream::record(const StreamSlice& slice) {
    delivered_until_us_ = slice.end_us;
    if (!recorder_) return;
    try {
        withFileErrors(recorder_->path(), [&] {
            binding::ReleasedGil released;
            recorder_->append(slice.events.data(), slice.events.size(), slice.triggers.data(), slice.triggers.size(),
                              origin_us_ + slice.end_us);
        });
    } catch (...) {
        close();
        throw;
    }
}

void Stream::finishRecording() {
    const std::unique_ptr<RecordingWriter> recorder = std::move(recorder_);
    if (recorder) recorder->finish();
}

void Stream::forget(const SliceStream& stream) {
    dropped_slices_ = stream.droppedSlices();
    dropped_events_ = stream.droppedEvents();
    const auto found = openStreams().find(device_);
    if (found != openStreams().end() && found->second == this) openStreams().erase(found);
    owner_ = py::none();
}

void requireNotStreaming(const void* device) {
    const auto found = openStreams().find(device);
    if (found == openStreams().end()) return;
    throw std::runtime_error(found->second->what() +
                             " is streaming: close its stream (stream.close(), or leave the stream's with block) "
                             "before reading from it otherwise");
}

void closeStreamOf(const void* device) {
    const auto found = openStreams().find(device);
    if (found != openStreams().end()) found->second->close();
}

std::unique_ptr<Stream> startStream(py::object owner, const void* device, std::string what,
                                    std::shared_ptr<SliceSource> source, std::int64_t slice_us, bool realtime,
                                    std::int64_t max_backlog, std::uint64_t origin_us,
                                    std::function<RecordingHeader()> header) {
    if (slice_us < 1 || static_cast<std::uint64_t>(slice_us) > SimulatedCamera::kMaxReadSpanUs)
        throw py::value_error("slice_us must be between 1 and " + std::to_string(SimulatedCamera::kMaxReadSpanUs) +
                              ", got " + std::to_string(slice_us));
    if (max_backlog < 1) throw py::value_error("max_backlog must be at least 1, got " + std::to_string(max_backlog));
    requireNotStreaming(device);
    const SliceStream::Options options{static_cast<std::uint64_t>(slice_us), realtime,
                                       static_cast<std::size_t>(max_backlog)};
    return std::make_unique<Stream>(std::move(owner), device, std::move(what),
                                    std::make_shared<SliceStream>(std::move(source), options), origin_us,
                                    std::move(header));
}

}  // namespace velmo::sim

void bindSimStream(py::module_& module) {
    using velmo::sim::Slice;
    using velmo::sim::Stream;

    py::class_<Slice> slice(module, "Slice",
                            "One slice of a Stream: the events and trigger events of [start_us, end_us) of sensor "
                            "time, counted from the stream's start, and what was dropped right before it.",
                            velmo::binding::guardedNativeObject());
    velmo::binding::refuseCopies(slice, "a slice is made by its stream; copy its arrays instead");
    slice.def("__repr__", &velmo::sim::sliceRepr)
        .def_readonly("events", &Slice::events, "The slice's events, a NumPy array of the Event2D data type.")
        .def_readonly("triggers", &Slice::triggers,
                      "The slice's trigger events, a NumPy array of the trigger data type; empty while trigger "
                      "input is disabled.")
        .def_readonly("start_us", &Slice::start_us, "Where the slice starts, in us from the stream's start.")
        .def_readonly("end_us", &Slice::end_us, "Where the slice ends (excluded), in us from the stream's start.")
        .def_readonly("dropped_slices_before", &Slice::dropped_slices_before,
                      "How many whole slices the stream dropped between the slice before this one and this one.")
        .def_readonly("dropped_events_before", &Slice::dropped_events_before,
                      "How many events those dropped slices held.");

    py::class_<Stream> stream(module, "Stream",
                              "Slices of sensor time read ahead on a native thread (Camera.stream makes one). An "
                              "iterator of Slice objects and a context manager that closes it. Closing stops the "
                              "thread; so do leaving the with block, an exception (KeyboardInterrupt too) raised "
                              "while the stream waits for a slice, garbage collection of the stream, and "
                              "interpreter exit. Breaking out of a for loop closes the stream only when that "
                              "drops its last reference. A closed stream ends iteration; the slices it had queued "
                              "are discarded.",
                              velmo::binding::guardedNativeObject());
    velmo::binding::refuseCopies(stream, "a stream reads a device; start another one with Camera.stream");
    stream.def("__repr__", &velmo::sim::streamRepr)
        .def("__iter__", [](Stream& self) -> Stream& { return self; }, py::return_value_policy::reference)
        .def("__next__", &Stream::next)
        .def("close", &Stream::close,
             "Stops the stream's thread and lets the device be read again, from where the stream stopped. "
             "Closing twice is harmless.")
        .def("__enter__", [](Stream& self) -> Stream& {
            if (self.closed()) throw py::value_error("the stream is closed");
            return self;
        }, py::return_value_policy::reference)
        .def("__exit__", [](Stream& self, const py::args&) { self.close(); })
        .def("record_to", &Stream::recordTo,
             "Records the slices this stream delivers from the next one on to a new recording file, until the "
             "stream closes or ends; the header holds the settings of the moment. Slices the stream drops are "
             "missing from the recording too. FileExistsError when the file exists, unless overwrite is true.",
             py::arg("path"), py::arg("overwrite") = false)
        .def_property_readonly("closed", &Stream::closed, "Whether the stream is closed.")
        .def_property_readonly("slice_us", [](const Stream& self) { return self.options().slice_us; },
                               "How much sensor time each slice spans, in us.")
        .def_property_readonly("realtime", [](const Stream& self) { return self.options().realtime; },
                               "Whether sensor time follows the wall clock.")
        .def_property_readonly("max_backlog", [](const Stream& self) { return self.options().max_backlog; },
                               "How many slices the stream queues at most.")
        .def_property_readonly("dropped_slices", &Stream::droppedSlices,
                               "How many whole slices the stream has dropped so far because its queue was full "
                               "(realtime only).")
        .def_property_readonly("dropped_events", &Stream::droppedEvents, "How many events those slices held.");

    py::module_::import("atexit").attr("register")(py::cpp_function(&velmo::sim::closeOpenStreams));
}

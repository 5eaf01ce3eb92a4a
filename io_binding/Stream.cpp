#include "IoBindings.h"
#include "Streaming.h"

#include <VelmoBase/Event2D.h>
#include <VelmoBinding/Gil.h>
#include <VelmoBinding/ModuleEntry.h>
#include <VelmoBinding/NativeObjects.h>
#include <VelmoCodec/SliceStream.h>
#include <VelmoCodec/SliceStreamRecorder.h>
#include <VelmoCodec/TriggerEvent.h>
#include <VelmoIo/Arguments.h>
#include <VelmoIo/Arrays.h>

#include <pybind11/numpy.h>
#include <pybind11/stl.h>
#include <pybind11/stl/filesystem.h>

#include <chrono>
#include <cstdint>
#include <exception>
#include <memory>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

namespace py = pybind11;

namespace velmo::io {

namespace {

// The consumer waits for a slice in steps this long, taking the interpreter lock between two
// of them to see signals (Ctrl-C).
constexpr std::chrono::milliseconds kWaitStep{20};

// A device's reader: its stream, or none for a reader that is no stream.
struct Reader {
    Stream* stream;
    std::string refusal;
};

// The readers, by the device each reads from; touched only with the interpreter lock held.
// Never destroyed: a stream collected while static destructors run still looks itself up.
std::unordered_map<const void*, Reader>& readers() {
    static auto& readers = *new std::unordered_map<const void*, Reader>();
    return readers;
}

// Streams still open when the interpreter exits would read on while it finalizes. Each is held
// by a reference while it closes: closing gives up the interpreter lock, and another thread may
// drop the last one meanwhile.
void closeOpenStreams() {
    std::vector<py::object> open;
    for (const auto& [device, reader] : readers())
        if (reader.stream != nullptr) open.push_back(py::cast(reader.stream, py::return_value_policy::reference));
    for (const py::object& stream : open) stream.cast<Stream&>().close();
}

std::string streamRepr(const Stream& stream) {
    return "<velmo.io.Stream of " + stream.what() + ", " + std::to_string(stream.options().slice_us) + " us slices" +
           (stream.options().realtime ? ", realtime" : "") + (stream.closed() ? ", closed>" : ", open>");
}

std::string sliceRepr(const Slice& slice) {
    return "<velmo.io.Slice " + std::to_string(slice.start_us) + " to " + std::to_string(slice.end_us) + " us, " +
           std::to_string(slice.events.size()) + " events, " + std::to_string(slice.triggers.size()) +
           " trigger events, " + std::to_string(slice.dropped_slices_before) + " slices dropped before>";
}

// Runs action without the interpreter lock; an error about the recording's file becomes an
// OSError naming it, as withFileErrors makes.
template <typename Action>
void withRecordingErrors(const SliceStreamRecorder& consumer, Action&& action) {
    std::exception_ptr error;
    std::string path;
    {
        binding::ReleasedGil released;
        try {
            action();
        } catch (...) {
            error = std::current_exception();
            path = consumer.recordingPath();
        }
    }
    if (error) withFileErrors(path, [&] { std::rethrow_exception(error); });
}

}  // namespace

Stream::Stream(py::object owner, const void* device, std::string what, std::shared_ptr<SliceStream> stream,
               std::function<RecordingHeader()> header)
    : owner_(std::move(owner)), device_(device), what_(std::move(what)),
      consumer_(std::make_shared<SliceStreamRecorder>(std::move(stream))), options_(consumer_->stream().options()),
      header_(std::move(header)) {
    readers()[device_] = {this, what_ + " is streaming: close its stream (stream.close(), or leave the stream's "
                                        "with block) before reading from it otherwise"};
}

// Nothing else holds the consumer now: no thread is inside next(). The producer never takes the
// interpreter lock, so it is stopped with the lock held: the wait is for the slice in hand at
// most. A recording that cannot be finished here stays a recording cut short, which still reads.
Stream::~Stream() {
    if (!consumer_) return;
    try {
        consumer_->close();
    } catch (const std::exception&) {
    }
    forget(consumer_->stream());
}

// The recording is finished after the device is let go, so that an error finishing it leaves
// the stream closed all the same.
void Stream::close() {
    const std::shared_ptr<SliceStreamRecorder> consumer = std::move(consumer_);
    if (!consumer) return;
    {
        binding::ReleasedGil released;
        consumer->stream().stop();
    }
    forget(consumer->stream());
    withRecordingErrors(*consumer, [&] { consumer->close(); });
}

Slice Stream::next() {
    const std::shared_ptr<SliceStreamRecorder> consumer = consumer_;
    if (!consumer) throw py::stop_iteration();
    StreamSlice slice;
    for (;;) {
        SliceStream::Next got = SliceStream::Next::NotYet;
        try {
            withRecordingErrors(*consumer, [&] { got = consumer->next(slice, kWaitStep); });
        } catch (...) {
            close();
            throw;
        }
        if (got == SliceStream::Next::Slice) break;
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
    return sliceOf(std::move(slice));
}

Slice sliceOf(StreamSlice&& slice) {
    return Slice{arrayOwning(std::move(slice.events)),
                 arrayOwning(std::move(slice.triggers)),
                 slice.start_us,
                 slice.end_us,
                 slice.dropped_slices_before,
                 slice.dropped_events_before};
}

std::uint64_t checkedSliceUs(std::int64_t slice_us) {
    if (slice_us < 1 || static_cast<std::uint64_t>(slice_us) > SliceSource::kMaxReadSpanUs)
        throw py::value_error("slice_us must be between 1 and " + std::to_string(SliceSource::kMaxReadSpanUs) +
                              ", got " + std::to_string(slice_us));
    return static_cast<std::uint64_t>(slice_us);
}

void Stream::recordTo(const PathArgument& path_argument, bool overwrite) {
    const std::filesystem::path path = pathOf(path_argument);
    const std::shared_ptr<SliceStreamRecorder> consumer = consumer_;
    if (!consumer) throw py::value_error("the stream is closed");
    RecordingHeader header = header_();
    withFileErrors(path, [&] {
        binding::ReleasedGil released;
        consumer->recordTo(path.string(), std::move(header), overwrite);
    });
}

void Stream::forget(const SliceStream& stream) {
    dropped_slices_ = stream.droppedSlices();
    dropped_events_ = stream.droppedEvents();
    const auto found = readers().find(device_);
    if (found != readers().end() && found->second.stream == this) readers().erase(found);
    owner_ = py::none();
}

void requireNoOtherReader(const void* device) {
    const auto found = readers().find(device);
    if (found != readers().end()) throw std::runtime_error(found->second.refusal);
}

void claimReader(const void* device, std::string refusal) {
    requireNoOtherReader(device);
    readers()[device] = {nullptr, std::move(refusal)};
}

void releaseReader(const void* device) { readers().erase(device); }

void closeStreamOf(const void* device) {
    const auto found = readers().find(device);
    if (found != readers().end() && found->second.stream != nullptr) found->second.stream->close();
}

std::unique_ptr<Stream> startStream(py::object owner, const void* device, std::string what,
                                    std::shared_ptr<SliceSource> source, std::int64_t slice_us, bool realtime,
                                    std::int64_t max_backlog, std::function<RecordingHeader()> header) {
    const std::uint64_t checked_slice_us = checkedSliceUs(slice_us);
    if (max_backlog < 1) throw py::value_error("max_backlog must be at least 1, got " + std::to_string(max_backlog));
    requireNoOtherReader(device);
    const SliceStream::Options options{checked_slice_us, realtime,
                                       static_cast<std::size_t>(max_backlog)};
    return std::make_unique<Stream>(std::move(owner), device, std::move(what),
                                    std::make_shared<SliceStream>(std::move(source), options), std::move(header));
}

}  // namespace velmo::io

void bindIoStream(py::module_& module) {
    using velmo::io::Slice;
    using velmo::io::Stream;

    py::class_<Slice> slice(module, "Slice",
                            "One slice of a Stream: the events and trigger events of [start_us, end_us) of sensor "
                            "time, the clock of their time stamps, and what was dropped right before it.",
                            velmo::binding::guardedNativeObject());
    velmo::binding::refuseCopies(slice, "a slice is made by its stream; copy its arrays instead");
    slice.def("__repr__", &velmo::io::sliceRepr)
        .def_readonly("events", &Slice::events, "The slice's events, a NumPy array of the Event2D data type.")
        .def_readonly("triggers", &Slice::triggers,
                      "The slice's trigger events, a NumPy array of the trigger data type; empty while trigger "
                      "input is disabled.")
        .def_readonly("start_us", &Slice::start_us, "Where the slice starts: the sensor time of its first possible event, in us.")
        .def_readonly("end_us", &Slice::end_us, "Where the slice ends (excluded), in us of sensor time.")
        .def_readonly("dropped_slices_before", &Slice::dropped_slices_before,
                      "How many whole slices the stream dropped between the slice before this one and this one.")
        .def_readonly("dropped_events_before", &Slice::dropped_events_before,
                      "How many events those dropped slices held.");

    py::class_<Stream> stream(module, "Stream",
                              "Slices of sensor time read ahead on a native thread (Camera.stream and Recording.stream make one). An "
                              "iterator of Slice objects and a context manager that closes it. Closing stops the "
                              "thread; so do leaving the with block, an exception (KeyboardInterrupt too) raised "
                              "while the stream waits for a slice, garbage collection of the stream, and "
                              "interpreter exit. Breaking out of a for loop closes the stream only when that "
                              "drops its last reference. A closed stream ends iteration; the slices it had queued "
                              "are discarded.",
                              velmo::binding::guardedNativeObject());
    velmo::binding::refuseCopies(stream, "a stream reads a device; start another one with its stream method");
    velmo::binding::closesOnExit(
        stream,
        [](const Stream& self) {
            if (self.closed()) throw py::value_error("the stream is closed");
        },
        [](Stream& self) { self.close(); });
    stream.def("__repr__", &velmo::io::streamRepr)
        .def("__iter__", [](Stream& self) -> Stream& { return self; }, py::return_value_policy::reference)
        .def("__next__", &Stream::next)
        .def("close", &Stream::close,
             "Stops the stream's thread and lets the device be read again, from where the stream stopped. "
             "Closing twice is harmless.")
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

    py::module_::import("atexit").attr("register")(py::cpp_function(&velmo::io::closeOpenStreams));
}

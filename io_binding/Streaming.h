#pragma once

#include <VelmoCodec/Recording.h>
#include <VelmoCodec/SliceSource.h>
#include <VelmoCodec/SliceStream.h>
#include <VelmoCodec/SliceStreamRecorder.h>
#include <VelmoIo/DeviceReading.h>

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <variant>

namespace velmo::io {

struct PathArgument;

// velmo.io.Slice.
struct Slice {
    pybind11::array_t<Event2D> events;
    pybind11::array_t<TriggerEvent> triggers;
    std::uint64_t start_us;
    std::uint64_t end_us;
    std::uint64_t dropped_slices_before;
    std::uint64_t dropped_events_before;
};

// The Python form of a slice, owning its records.
Slice sliceOf(StreamSlice&& slice);

// A slice length given from Python; ValueError naming slice_us outside 1 us to 10 s.
std::uint64_t checkedSliceUs(std::int64_t slice_us);

// velmo.io.Stream: a SliceStream read for `owner`, the Python object of a camera or a
// recording, whose native object is `device` and which messages call `what` (e.g. "camera X").
// The stream keeps the owner alive while it is open, and the device refuses its other reads
// (requireNoOtherReader) until it closes. header describes the device for record_to. Used
// with the interpreter lock held.
class Stream {
public:
    Stream(pybind11::object owner, const void* device, std::string what, std::shared_ptr<SliceStream> stream,
           std::function<RecordingHeader()> header);
    ~Stream();
    Stream(const Stream&) = delete;
    Stream& operator=(const Stream&) = delete;

    void close();
    bool closed() const { return !consumer_; }
    // The next slice; StopIteration once the stream has ended or is closed.
    Slice next();

    std::uint64_t droppedSlices() const { return consumer_ ? consumer_->stream().droppedSlices() : dropped_slices_; }
    std::uint64_t droppedEvents() const { return consumer_ ? consumer_->stream().droppedEvents() : dropped_events_; }
    const SliceStream::Options& options() const { return options_; }
    const std::string& what() const { return what_; }

    // From the next slice delivered on, each is also written to a new recording file, which is
    // finished when the stream closes or ends.
    void recordTo(const PathArgument& path, bool overwrite);

private:
    void forget(const SliceStream& stream);

    pybind11::object owner_;
    const void* device_;
    std::string what_;
    // Shared with the threads that wait in next() without the interpreter lock, so that
    // another thread can close the stream meanwhile; null once it is closed.
    std::shared_ptr<SliceStreamRecorder> consumer_;
    SliceStream::Options options_;
    std::uint64_t dropped_slices_ = 0;
    std::uint64_t dropped_events_ = 0;
    std::function<RecordingHeader()> header_;
};

// A stream of source's slices (see Stream for the rest). Checks the arguments, naming the
// wrong one; the source must live as long as the owner does.
std::unique_ptr<Stream> startStream(pybind11::object owner, const void* device, std::string what,
                                    std::shared_ptr<SliceSource> source, std::int64_t slice_us, bool realtime,
                                    std::int64_t max_backlog, std::function<RecordingHeader()> header);

// A device has one reader besides its own short calls: a stream, or a recording in progress.
// Raises RuntimeError while it has one, saying what reads it and how that ends.
void requireNoOtherReader(const void* device);

// Holds the device for a reader that is no stream until releaseReader: its other reads raise
// RuntimeError with `refusal`. Raises as requireNoOtherReader does when the device has a reader
// already.
void claimReader(const void* device, std::string refusal);
void releaseReader(const void* device);

// Closes the device's stream, if it has one: for a device that is itself closed.
void closeStreamOf(const void* device);

}  // namespace velmo::io

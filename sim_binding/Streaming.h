#pragma once

#include <VelmoHal/device/Recording.h>
#include <VelmoHal/device/SliceSource.h>
#include <VelmoHal/device/SliceStream.h>

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <variant>

namespace velmo::sim {

struct PathArgument;

// What a stream queues when its reader does not say: 16 slices, 160 ms at the default 10 ms
// slice, about 2.5 MB at the camera's default settings.
constexpr std::int64_t kDefaultMaxBacklog = 16;

// velmo_sim.Slice.
struct Slice {
    pybind11::array_t<Event2D> events;
    pybind11::array_t<TriggerEvent> triggers;
    std::uint64_t start_us;
    std::uint64_t end_us;
    std::uint64_t dropped_slices_before;
    std::uint64_t dropped_events_before;
};

// velmo_sim.Stream: a SliceStream read for `owner`, the Python object of a camera or a
// recording, whose native object is `device` and which messages call `what` (e.g. "camera X").
// The stream keeps the owner alive while it is open, and the device refuses its other reads
// (requireNotStreaming) until it closes. origin_us is the device's time where the stream
// starts, and header describes the device for record_to. Used with the interpreter lock held.
class Stream {
public:
    Stream(pybind11::object owner, const void* device, std::string what, std::shared_ptr<SliceStream> stream,
           std::uint64_t origin_us, std::function<RecordingHeader()> header);
    ~Stream();
    Stream(const Stream&) = delete;
    Stream& operator=(const Stream&) = delete;

    void close();
    bool closed() const { return !stream_; }
    // The next slice; StopIteration once the stream has ended or is closed.
    Slice next();

    std::uint64_t droppedSlices() const { return stream_ ? stream_->droppedSlices() : dropped_slices_; }
    std::uint64_t droppedEvents() const { return stream_ ? stream_->droppedEvents() : dropped_events_; }
    const SliceStream::Options& options() const { return options_; }
    const std::string& what() const { return what_; }

    // From the next slice delivered on, each is also written to a new recording file, which is
    // finished when the stream closes or ends.
    void recordTo(const PathArgument& path, bool overwrite);

private:
    void forget(const SliceStream& stream);
    void record(const StreamSlice& slice);
    void finishRecording();

    pybind11::object owner_;
    const void* device_;
    std::string what_;
    // Shared with the threads that wait in next() without the interpreter lock, so that
    // another thread can close the stream meanwhile.
    std::shared_ptr<SliceStream> stream_;
    SliceStream::Options options_;
    std::uint64_t dropped_slices_ = 0;
    std::uint64_t dropped_events_ = 0;
    // The device's time where the stream started, and the end of the last slice delivered,
    // counted from there.
    std::uint64_t origin_us_;
    std::uint64_t delivered_until_us_ = 0;
    std::function<RecordingHeader()> header_;
    std::unique_ptr<RecordingWriter> recorder_;
};

// A stream of source's slices (see Stream for the rest). Checks the arguments, naming the
// wrong one; the source must live as long as the owner does.
std::unique_ptr<Stream> startStream(pybind11::object owner, const void* device, std::string what,
                                    std::shared_ptr<SliceSource> source, std::int64_t slice_us, bool realtime,
                                    std::int64_t max_backlog, std::uint64_t origin_us,
                                    std::function<RecordingHeader()> header);

// Raises RuntimeError while a stream reads from the device, saying how to stop it.
void requireNotStreaming(const void* device);

// Closes the device's stream, if it has one: for a device that is itself closed.
void closeStreamOf(const void* device);

}  // namespace velmo::sim

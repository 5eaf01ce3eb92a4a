#pragma once

#include <VelmoHal/device/Recording.h>
#include <VelmoHal/device/SliceSource.h>

#include <pybind11/pybind11.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace velmo::sim {

// What a stream queues when its reader does not say: 16 slices, 160 ms at the default 10 ms
// slice, about 2.5 MB at the camera's default settings.
constexpr std::int64_t kDefaultMaxBacklog = 16;

// A velmo_sim.Stream of source's slices, read for `owner` (the Python object of a camera or a
// recording, whose native object is `device` and which messages call `what`, e.g. "camera X").
// The stream keeps the owner alive, and the device refuses its other reads (requireNotStreaming)
// until the stream closes. Checks the arguments, naming the wrong one; the source must live as
// long as the owner does. origin_us is the source's time where the stream starts, and header
// describes the device for Stream.record_to (start_us is set there).
pybind11::object startStream(pybind11::object owner, const void* device, std::string what,
                             std::shared_ptr<SliceSource> source, std::int64_t slice_us, bool realtime,
                             std::int64_t max_backlog, std::uint64_t origin_us,
                             std::function<RecordingHeader()> header);

// Raises RuntimeError while a stream reads from the device, saying how to stop it.
void requireNotStreaming(const void* device);

// Closes the device's stream, if it has one: for a device that is itself closed.
void closeStreamOf(const void* device);

}  // namespace velmo::sim

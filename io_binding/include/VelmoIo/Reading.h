#pragma once

#include <VelmoBase/Event2D.h>
#include <VelmoBinding/Gil.h>
#include <VelmoCodec/SliceSource.h>
#include <VelmoCodec/TriggerEvent.h>

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>

// What the reading interface of every event source (a camera, a recording) does the same way
// in Python: which spans it takes, how a long read_events stays interruptible, what read gives
// back. Each source's binding calls these, so the sources cannot drift apart.
namespace velmo::io {

// read's result: the events and the trigger events of the span.
using EventsAndTriggers = std::pair<pybind11::array_t<Event2D>, pybind11::array_t<TriggerEvent>>;

// ValueError naming `name` for a negative value.
inline std::uint64_t nonNegative(std::int64_t value, const char* name) {
    if (value < 0)
        throw pybind11::value_error(std::string(name) + " must not be negative, got " + std::to_string(value));
    return static_cast<std::uint64_t>(value);
}

// A span to read, refused up front when longer than a read may span: that bounds what one call
// may allocate (at a camera's default settings ten seconds are about ten million events, 160 MB).
inline std::uint64_t readableSpan(std::int64_t duration_us) {
    const std::uint64_t span = nonNegative(duration_us, "duration_us");
    if (span > SliceSource::kMaxReadSpanUs)
        throw pybind11::value_error("duration_us must be at most " + std::to_string(SliceSource::kMaxReadSpanUs) +
                                    " (read longer spans in pieces), got " + std::to_string(duration_us));
    return span;
}

// read_events(n) in reads of this many events, with the interpreter lock taken between two of
// them to see signals (Ctrl-C). A camera gives a read of n events max(64 n, 2**20) candidates to
// find them in, so one of this size or less that comes back short has spent 2**20 candidates: a
// few tens of milliseconds; a recording comes back short only at its end.
inline constexpr std::size_t kEventsPerRead = std::size_t{1} << 14;

// The next `count` events of `source`, through its readEvents(Event2D*, n) -> events written,
// each piece read by `guarded(action)` with the interpreter lock released. Stops where one read
// of `count` would have: after as many short pieces as that read's budget allows. A signal
// handler that raises between two pieces raises here, with a note of how many events the
// source has moved past and dropped.
template <typename Source, typename Guarded>
pybind11::array_t<Event2D> readEventsInterruptibly(Source& source, pybind11::ssize_t count, Guarded&& guarded) {
    if (count < 0) throw pybind11::value_error("n must not be negative, got " + std::to_string(count));
    pybind11::array_t<Event2D> events(count);
    const auto requested = static_cast<std::size_t>(count);
    Event2D* out = events.mutable_data();
    std::size_t written = 0;
    std::size_t short_reads_left = std::max<std::size_t>(1, requested / kEventsPerRead);
    while (written < requested && short_reads_left > 0) {
        const std::size_t asked = std::min(kEventsPerRead, requested - written);
        std::size_t got = 0;
        // The source serialises its own reads, and the array is ours alone until it is returned.
        guarded([&] {
            binding::ReleasedGil released;
            got = source.readEvents(out + written, asked);
        });
        written += got;
        if (got < asked) --short_reads_left;
        if (PyErr_CheckSignals() != 0) {
            pybind11::error_already_set interrupted;
            interrupted.value().attr("add_note")(
                "read_events was interrupted after " + std::to_string(written) + " of " + std::to_string(requested) +
                " events; the stream has moved past those events and they are dropped");
            throw interrupted;
        }
    }
    if (written < requested) events.resize({static_cast<pybind11::ssize_t>(written)});
    return events;
}

}  // namespace velmo::io

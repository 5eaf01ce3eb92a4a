#pragma once

#include <VelmoBase/Event2D.h>
#include <VelmoCodec/TriggerEvent.h>

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace velmo {

// Where a stream's time slices come from: the camera, or a recording played back. A stream
// asks for one slice at a time, from its own thread.
class SliceSource {
public:
    // The longest span one read of a source may ask for; longer spans are read in pieces.
    static constexpr std::uint64_t kMaxReadSpanUs = 10'000'000;
    // Throws std::invalid_argument for a span longer than kMaxReadSpanUs; every source of spans
    // (the camera, a recording's playback) refuses them alike.
    static void requireReadableSpan(std::uint64_t duration_us) {
        if (duration_us > kMaxReadSpanUs)
            throw std::invalid_argument("a read spans at most " + std::to_string(kMaxReadSpanUs) + " us, not " +
                                        std::to_string(duration_us));
    }

    virtual ~SliceSource() = default;

    // Appends the events and trigger events of the next duration_us of the source's time, in
    // time order, and moves past that span. Returns false, appending nothing, once the source
    // has nothing left (a camera never ends).
    virtual bool readSlice(std::uint64_t duration_us, std::vector<Event2D>& events,
                           std::vector<TriggerEvent>& triggers) = 0;

    // The source's time where the next slice starts: the clock its records' time stamps use.
    virtual std::uint64_t positionUs() const = 0;
};

}  // namespace velmo

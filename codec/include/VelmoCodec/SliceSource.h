#pragma once

#include <VelmoBase/Event2D.h>
#include <VelmoHal/device/TriggerEvent.h>

#include <cstdint>
#include <vector>

namespace velmo {

// Where a stream's time slices come from: the camera, or a recording played back. A stream
// asks for one slice at a time, from its own thread.
class SliceSource {
public:
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

#pragma once

#include <VelmoBase/Event2D.h>
#include <VelmoCodec/SliceStream.h>
#include <VelmoCodec/TriggerEvent.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace velmo {

// Cuts the records of one stream, decoded piece by piece from bytes of any source, into the
// slices a camera's stream hands out: [k slice_us, (k + 1) slice_us) of sensor time, the first
// being the one that holds the first record. A slice is complete once the stream's time has
// passed its end, as it is only then certain that no later byte adds to it. Not thread-safe.
class SliceCutter {
public:
    // Throws std::invalid_argument for a slice_us of 0.
    explicit SliceCutter(std::uint64_t slice_us);

    // Takes the next records of the stream, each list in time order and after the last call's,
    // and a time that no later record comes before; appends the slices now complete to out. Throws
    // std::invalid_argument for a record before the records already taken.
    void add(const Event2D* events, std::size_t event_count, const TriggerEvent* triggers, std::size_t trigger_count,
             std::uint64_t no_record_before_us, std::vector<StreamSlice>& out);

    // The stream has ended: appends the slices up to the one holding its last record.
    void finish(std::vector<StreamSlice>& out);

private:
    // Appends the slices that end at or before until_us.
    void cutUntil(std::uint64_t until_us, std::vector<StreamSlice>& out);

    std::uint64_t slice_us_;
    // Where the next slice starts, once the first record has come.
    std::optional<std::uint64_t> start_us_;
    // The records from start_us_ on, not yet in a slice.
    std::vector<Event2D> events_;
    std::vector<TriggerEvent> triggers_;
    std::uint64_t last_event_us_ = 0;
    std::uint64_t last_trigger_us_ = 0;
};

}  // namespace velmo

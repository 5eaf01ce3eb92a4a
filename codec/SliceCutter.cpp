#include <VelmoCodec/SliceCutter.h>

#include <algorithm>
#include <stdexcept>
#include <string>

namespace velmo {

namespace {

// Moves the records before end_us from the front of pending into slice.
template <typename Record>
void takeBefore(std::vector<Record>& pending, std::uint64_t end_us, std::vector<Record>& slice) {
    const auto end = std::partition_point(pending.begin(), pending.end(),
                                          [end_us](const Record& record) { return record.timestamp < end_us; });
    slice.assign(pending.begin(), end);
    pending.erase(pending.begin(), end);
}

// Appends the records to pending; each must come at or after the one before, last_us the last
// of the records taken before.
template <typename Record>
void appendInOrder(std::vector<Record>& pending, const Record* records, std::size_t count, std::uint64_t& last_us,
                   const char* kind) {
    std::uint64_t last_so_far = last_us;
    for (std::size_t i = 0; i < count; ++i) {
        if (records[i].timestamp < last_so_far)
            throw std::invalid_argument(std::string(kind) + " at " + std::to_string(records[i].timestamp) +
                                        " us comes after one at " + std::to_string(last_so_far) + " us");
        last_so_far = records[i].timestamp;
    }
    pending.insert(pending.end(), records, records + count);
    last_us = last_so_far;
}

}  // namespace

SliceCutter::SliceCutter(std::uint64_t slice_us) : slice_us_(slice_us) {
    if (slice_us == 0) throw std::invalid_argument("slice_us must be positive, got 0");
}

void SliceCutter::add(const Event2D* events, std::size_t event_count, const TriggerEvent* triggers,
                      std::size_t trigger_count, std::uint64_t no_record_before_us, std::vector<StreamSlice>& out) {
    appendInOrder(events_, events, event_count, last_event_us_, "an event");
    appendInOrder(triggers_, triggers, trigger_count, last_trigger_us_, "a trigger edge");
    if (!start_us_ && !(events_.empty() && triggers_.empty())) {
        std::uint64_t first_us = events_.empty() ? triggers_.front().timestamp : events_.front().timestamp;
        if (!triggers_.empty()) first_us = std::min<std::uint64_t>(first_us, triggers_.front().timestamp);
        start_us_ = first_us - first_us % slice_us_;
    }
    cutUntil(no_record_before_us, out);
}

void SliceCutter::finish(std::vector<StreamSlice>& out) {
    if (events_.empty() && triggers_.empty()) return;
    const std::uint64_t last_us = std::max(last_event_us_, last_trigger_us_);
    cutUntil(last_us - last_us % slice_us_ + slice_us_, out);
}

void SliceCutter::cutUntil(std::uint64_t until_us, std::vector<StreamSlice>& out) {
    if (!start_us_) return;
    while (until_us >= *start_us_ + slice_us_) {
        StreamSlice slice;
        slice.start_us = *start_us_;
        slice.end_us = *start_us_ + slice_us_;
        takeBefore(events_, slice.end_us, slice.events);
        takeBefore(triggers_, slice.end_us, slice.triggers);
        out.push_back(std::move(slice));
        start_us_ = *start_us_ + slice_us_;
    }
}

}  // namespace velmo

#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace velmo::sensor {

// Items with a time stamp (a member `timestamp` in microseconds), kept in slots of SlotUs over
// a sliding horizon of SlotCount slots. Pushing appends to a slot, so the few slots in use stay
// in cache; taking a slot sorts it by time with a counting sort, keeping the order of pushing
// among equal times, so the simulation stays deterministic. A slot keeps its capacity: after
// the first few milliseconds nothing is allocated.
template <typename Item, std::uint64_t SlotUs, std::size_t SlotCount>
class TimeWheel {
public:
    TimeWheel() : slots_(SlotCount) {}

    // The item's time lies before the start of the slot taken next plus SlotUs * SlotCount.
    void push(const Item& item) { slots_[(item.timestamp / SlotUs) % SlotCount].push_back(item); }

    // Replaces sorted with the items of the slot that holds slot_begin_us, in time order, and
    // empties the slot.
    void take(std::uint64_t slot_begin_us, std::vector<Item>& sorted) {
        std::vector<Item>& slot = slots_[(slot_begin_us / SlotUs) % SlotCount];
        std::size_t starts[SlotUs + 1] = {};
        for (const Item& item : slot) ++starts[item.timestamp - slot_begin_us + 1];
        for (std::size_t i = 1; i <= SlotUs; ++i) starts[i] += starts[i - 1];
        sorted.resize(slot.size());
        for (const Item& item : slot) sorted[starts[item.timestamp - slot_begin_us]++] = item;
        slot.clear();
    }

private:
    std::vector<std::vector<Item>> slots_;
};

}  // namespace velmo::sensor

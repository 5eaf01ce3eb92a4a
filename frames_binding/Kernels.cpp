#include "Kernels.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>
#include <vector>

namespace velmo::frames {

namespace {

// Each thread keeps its scratch tables of up to this size for the next call: memory freed to
// the system comes back as fresh pages, and the page faults of a 1280 x 720 frame's table cost
// more than a pass over 1e6 events.
constexpr std::size_t kKeptScratchBytes = std::size_t{64} << 20;

// What a pixel of the time surface holds before decay when it has no event.
constexpr float kNoEvent = std::numeric_limits<float>::infinity();

// The passes add into a pixel-major table, a pixel's planes side by side (its OFF and ON
// counts, or its bins), and copy that out plane by plane at the end. Events arrive in time
// order, scattered over the pixels: pixel-major, the planes an event may touch share a cache
// line, and a frame's table is half or a fifth the memory in flight at once; plane-major, they
// lie a whole frame apart and the pass waits on twice or five times the cache misses. With one
// plane the table is the result itself.
template <typename Value>
class PixelMajor {
public:
    PixelMajor(std::size_t pixels, std::size_t planes, Value initial, Value* result)
        : planes_(planes), pixels_(pixels), result_(result), scratch_(std::move(kept())) {
        if (planes == 1) {
            std::fill(result, result + pixels, initial);
        } else {
            scratch_.assign(pixels * planes, initial);
        }
    }
    ~PixelMajor() {
        if (scratch_.capacity() * sizeof(Value) <= kKeptScratchBytes) kept().swap(scratch_);
    }
    PixelMajor(const PixelMajor&) = delete;
    PixelMajor& operator=(const PixelMajor&) = delete;

    Value* pixel(std::size_t index) { return table() + index * planes_; }
    Value* begin() { return table(); }
    Value* end() { return table() + pixels_ * planes_; }

    // Reads the table once, in order, and writes each plane as a stream of its own.
    void writeOut() {
        const std::size_t planes = planes_;
        const std::size_t pixels = pixels_;
        const Value* in = scratch_.data();
        Value* out = result_;
        if (planes == 1) return;
        if (planes == 2) {
            for (std::size_t index = 0; index < pixels; ++index) {
                out[index] = in[2 * index];
                out[pixels + index] = in[2 * index + 1];
            }
            return;
        }
        for (std::size_t index = 0; index < pixels; ++index) {
            for (std::size_t plane = 0; plane < planes; ++plane) out[plane * pixels + index] = in[index * planes + plane];
        }
    }

private:
    static std::vector<Value>& kept() {
        thread_local std::vector<Value> table;
        return table;
    }

    Value* table() { return planes_ == 1 ? result_ : scratch_.data(); }

    std::size_t planes_;
    std::size_t pixels_;
    Value* result_;
    std::vector<Value> scratch_;
};

// An event's plane is computed, not branched to: polarity is as good as random in a stream, and
// a mispredicted branch per event costs more than the rest of a pass.
std::size_t planeOf(bool split, std::uint8_t polarity) {
    return static_cast<std::size_t>(split && polarity != 0);
}

// exp(x) for x <= 0, to single precision, written so that the compiler vectorises a loop of it
// (the C library's exp is one call per value): 2^k 2^f with k = round(x log2 e), taken in
// double so that a large |x| loses no digits of f, and 2^f in float from its Taylor series to
// the seventh term (relative error below 2e-7 for |f| <= 1/2); 0 below -87, where the result
// would leave the normal range of float.
float expOfNonPositive(double x) {
    const double scaled = std::max(x, -87.0) * 1.4426950408889634;
    const auto k = static_cast<std::int32_t>(scaled - 0.5);
    const auto r = static_cast<float>((scaled - static_cast<double>(k)) * 0.6931471805599453);
    const float series =
        1.0f + r * (1.0f + r * (0.5f + r * (1.0f / 6 + r * (1.0f / 24 + r * (1.0f / 120 + r * (1.0f / 720))))));
    const std::uint32_t bits = static_cast<std::uint32_t>(k + 127) << 23;
    float power;
    std::memcpy(&power, &bits, sizeof power);
    return x < -87.0 ? 0.0f : series * power;
}

// An event's entry in a pixel-major table, and what the pass adds there.
template <typename Payload>
struct Keyed {
    std::uint32_t entry;
    Payload payload;
};
template <>
struct Keyed<void> {
    std::uint32_t entry;
};

// A block's entries as they arrive and as partitioned, one pair per thread and payload, kept
// between calls: fresh pages would cost more than the pass.
template <typename Payload>
struct BlockBuffers {
    std::vector<Keyed<Payload>> arrived;
    std::vector<Keyed<Payload>> partitioned;

    static BlockBuffers& ofThisThread() {
        thread_local BlockBuffers buffers;
        return buffers;
    }
};

// Applies the events to a table one block of events at a time, each block's entries first
// partitioned, stably, by the region of the table they fall in. A table larger than the core's
// own cache (a 1280 x 720 split histogram is 7.4 MB) costs a cache miss per event taken in
// arrival order, as events scatter over the pixels; a region is small enough to stay in that
// cache while its entries are applied, so a line comes in once per block and region rather
// than once per event. Each entry's events keep their order, so sums come out bit for bit as
// an event-by-event pass gives them. prepare(i, keyed) fills an event's entry and payload and
// says whether the event counts; apply(keyed) updates the table. Returns the events left out.
template <typename Payload, typename Prepare, typename Apply>
std::size_t applyByRegion(const EventRun& events, std::size_t tableEntries, std::size_t entryBytes, Prepare&& prepare,
                          Apply&& apply) {
    constexpr std::size_t kRegionBytes = std::size_t{256} << 10;
    constexpr std::size_t kBlockEvents = std::size_t{1} << 19;
    constexpr std::size_t kLineBytes = 64;
    unsigned shift = 0;
    while ((std::size_t{2} << shift) * entryBytes <= kRegionBytes) ++shift;
    const std::size_t regions = (tableEntries >> shift) + 1;
    // Partitioning pays once a block holds several events per line of the table.
    const std::size_t tableLines = tableEntries * entryBytes / kLineBytes;
    std::size_t leftOut = 0;
    if (regions == 1 || events.count < 4 * tableLines) {
        Keyed<Payload> keyed;
        for (std::size_t i = 0; i < events.count; ++i) {
            if (prepare(i, keyed)) apply(keyed);
            else ++leftOut;
        }
        return leftOut;
    }
    BlockBuffers<Payload>& buffers = BlockBuffers<Payload>::ofThisThread();
    std::vector<Keyed<Payload>>& arrived = buffers.arrived;
    std::vector<Keyed<Payload>>& partitioned = buffers.partitioned;
    const std::size_t block = std::min(kBlockEvents, events.count);
    if (arrived.size() < block) {
        arrived.resize(block);
        partitioned.resize(block);
    }
    std::vector<std::size_t> next(regions + 1);
    for (std::size_t first = 0; first < events.count; first += block) {
        const std::size_t last = std::min(events.count, first + block);
        std::fill(next.begin(), next.end(), 0);
        std::size_t kept = 0;
        for (std::size_t i = first; i < last; ++i) {
            Keyed<Payload>& keyed = arrived[kept];
            if (prepare(i, keyed)) {
                ++next[(keyed.entry >> shift) + 1];
                ++kept;
            } else {
                ++leftOut;
            }
        }
        for (std::size_t region = 1; region <= regions; ++region) next[region] += next[region - 1];
        for (std::size_t k = 0; k < kept; ++k) partitioned[next[arrived[k].entry >> shift]++] = arrived[k];
        for (std::size_t k = 0; k < kept; ++k) apply(partitioned[k]);
    }
    return leftOut;
}

// Calls visit(i, pixel) for each event i inside the frame, pixel being its index in a plane,
// and returns how many fell outside.
template <typename Visit>
std::size_t forEachInside(const EventRun& events, FrameShape shape, Visit&& visit) {
    std::size_t outside = 0;
    for (std::size_t i = 0; i < events.count; ++i) {
        const std::uint16_t x = events.x(i);
        const std::uint16_t y = events.y(i);
        if (!shape.contains(x, y)) {
            ++outside;
            continue;
        }
        visit(i, shape.index(x, y));
    }
    return outside;
}

}  // namespace

std::size_t countOutside(const EventRun& events, FrameShape shape) {
    return forEachInside(events, shape, [](std::size_t, std::size_t) {});
}

template <typename Count>
std::size_t histogram(const EventRun& events, FrameShape shape, bool split, Count* counts) {
    const std::size_t planes = split ? 2 : 1;
    PixelMajor<Count> table(shape.pixels(), planes, 0, counts);
    Count* entries = table.begin();
    const std::size_t outside = applyByRegion<void>(
        events, shape.pixels() * planes, sizeof(Count),
        [&](std::size_t i, Keyed<void>& keyed) {
            const std::uint16_t x = events.x(i);
            const std::uint16_t y = events.y(i);
            keyed.entry = static_cast<std::uint32_t>(shape.index(x, y) * planes + planeOf(split, events.polarity(i)));
            return shape.contains(x, y);
        },
        [&](const Keyed<void>& keyed) { ++entries[keyed.entry]; });
    table.writeOut();
    return outside;
}

template std::size_t histogram<std::uint32_t>(const EventRun&, FrameShape, bool, std::uint32_t*);
template std::size_t histogram<std::uint64_t>(const EventRun&, FrameShape, bool, std::uint64_t*);

std::size_t timeSurface(const EventRun& events, FrameShape shape, bool split, std::uint64_t at_us, double tau_us,
                       float* surface) {
    const std::size_t planes = split ? 2 : 1;
    PixelMajor<float> ages(shape.pixels(), planes, kNoEvent, surface);
    float* entries = ages.begin();
    std::size_t later = 0;
    const std::size_t leftOut = applyByRegion<float>(
        events, shape.pixels() * planes, sizeof(float),
        [&](std::size_t i, Keyed<float>& keyed) {
            const std::uint16_t x = events.x(i);
            const std::uint16_t y = events.y(i);
            const std::uint64_t t = events.timestamp(i);
            keyed.entry = static_cast<std::uint32_t>(shape.index(x, y) * planes + planeOf(split, events.polarity(i)));
            keyed.payload = static_cast<float>(at_us - t);
            if (!shape.contains(x, y)) return false;
            later += t > at_us;
            return t <= at_us;
        },
        [&](const Keyed<float>& keyed) { entries[keyed.entry] = std::min(entries[keyed.entry], keyed.payload); });
    const std::size_t outside = leftOut - later;
    const double rate = -1.0 / tau_us;
    for (float& value : ages) {
        const float age = value;
        const double finiteAge = std::min(age, std::numeric_limits<float>::max());
        const float decayed = expOfNonPositive(finiteAge * rate);
        value = age < kNoEvent ? decayed : 0.0f;
    }
    ages.writeOut();
    return outside;
}

// What an event adds to its pixel's bins: `lower` to bin `bin`, `upper` to the next one.
struct VoxelShare {
    std::uint32_t bin;
    float lower;
    float upper;
};

std::size_t voxelGrid(const EventRun& events, FrameShape shape, std::size_t bins, std::uint64_t start_us,
                      std::uint64_t end_us, float* grid) {
    PixelMajor<float> table(shape.pixels(), bins, 0.0f, grid);
    const double scale =
        end_us > start_us ? static_cast<double>(bins - 1) / static_cast<double>(end_us - start_us) : 0.0;
    // Keyed by pixel, not by bin, so that all of a pixel's sums stay in one region, added to in
    // the events' order.
    const std::size_t leftOut = applyByRegion<VoxelShare>(
        events, shape.pixels(), bins * sizeof(float),
        [&](std::size_t i, Keyed<VoxelShare>& keyed) {
            const std::uint16_t x = events.x(i);
            const std::uint16_t y = events.y(i);
            const std::uint64_t t = events.timestamp(i);
            if (!shape.contains(x, y) || t < start_us || t > end_us) return false;
            const double position = static_cast<double>(t - start_us) * scale;
            // position is at most bins - 1; rounding may carry it a hair past, never a whole bin.
            const auto lower = std::min(static_cast<std::size_t>(static_cast<std::int64_t>(position)), bins - 1);
            const float upperWeight = static_cast<float>(position - static_cast<double>(lower));
            const float sign = events.polarity(i) != 0 ? 1.0f : -1.0f;
            keyed.entry = static_cast<std::uint32_t>(shape.index(x, y));
            keyed.payload = {static_cast<std::uint32_t>(lower), sign * (1.0f - upperWeight),
                             lower + 1 < bins ? sign * upperWeight : 0.0f};
            return true;
        },
        [&](const Keyed<VoxelShare>& keyed) {
            // Sums start at +0 and so never become -0: leaving out an add of zero changes no bit.
            float* pixel = table.pixel(keyed.entry) + keyed.payload.bin;
            pixel[0] += keyed.payload.lower;
            if (keyed.payload.upper != 0.0f) pixel[1] += keyed.payload.upper;
        });
    table.writeOut();
    return leftOut;
}

template <typename Value>
std::uint64_t toColumns(const EventRun& events, const Column (&order)[4], Value* rows) {
    std::uint64_t latest = 0;
    for (std::size_t i = 0; i < events.count; ++i) {
        const std::uint64_t t = events.timestamp(i);
        if (t > latest) latest = t;
        const Value fields[4] = {static_cast<Value>(t), static_cast<Value>(events.x(i)),
                                 static_cast<Value>(events.y(i)), static_cast<Value>(events.polarity(i))};
        Value* row = rows + 4 * i;
        for (std::size_t column = 0; column < 4; ++column) row[column] = fields[static_cast<std::size_t>(order[column])];
    }
    return latest;
}

template std::uint64_t toColumns<std::int64_t>(const EventRun&, const Column (&)[4], std::int64_t*);
template std::uint64_t toColumns<std::int32_t>(const EventRun&, const Column (&)[4], std::int32_t*);
template std::uint64_t toColumns<double>(const EventRun&, const Column (&)[4], double*);
template std::uint64_t toColumns<float>(const EventRun&, const Column (&)[4], float*);

bool timeSorted(const EventRun& events, std::size_t& firstDecrease) {
    for (std::size_t i = 1; i < events.count; ++i) {
        if (events.timestamp(i) < events.timestamp(i - 1)) {
            firstDecrease = i;
            return false;
        }
    }
    return true;
}

std::size_t firstAtOrAfter(const EventRun& events, std::size_t from, std::uint64_t t_us) {
    std::size_t low = from;
    std::size_t high = events.count;
    while (low < high) {
        const std::size_t middle = low + (high - low) / 2;
        if (events.timestamp(middle) < t_us) low = middle + 1;
        else high = middle;
    }
    return low;
}

template <typename Count>
void colour(const Count* off, const Count* on, std::size_t pixels, const Palette& palette, std::uint8_t* rgb) {
    const Rgb* byKind[4] = {&palette.none, &palette.off, &palette.on, &palette.both};
    for (std::size_t i = 0; i < pixels; ++i) {
        const Rgb& chosen = *byKind[(off[i] != 0 ? 1 : 0) + (on[i] != 0 ? 2 : 0)];
        rgb[3 * i] = chosen.red;
        rgb[3 * i + 1] = chosen.green;
        rgb[3 * i + 2] = chosen.blue;
    }
}

template void colour<std::uint32_t>(const std::uint32_t*, const std::uint32_t*, std::size_t, const Palette&,
                                    std::uint8_t*);
template void colour<std::uint64_t>(const std::uint64_t*, const std::uint64_t*, std::size_t, const Palette&,
                                    std::uint8_t*);
template void colour<std::uint8_t>(const std::uint8_t*, const std::uint8_t*, std::size_t, const Palette&,
                                   std::uint8_t*);

}  // namespace velmo::frames

#include "Kernels.h"

#include <cmath>

namespace velmo::frames {

namespace {

// The plane an event's count goes to: OFF first, then ON.
std::size_t planeOffset(bool split, std::uint8_t polarity, std::size_t pixels) {
    return split && polarity != 0 ? pixels : 0;
}

}  // namespace

template <typename Count>
std::size_t histogram(const EventRun& events, FrameShape shape, bool split, Count* counts) {
    const std::size_t pixels = shape.pixels();
    std::size_t outside = 0;
    for (std::size_t i = 0; i < events.count; ++i) {
        const std::uint16_t x = events.x(i);
        const std::uint16_t y = events.y(i);
        if (!shape.contains(x, y)) {
            ++outside;
            continue;
        }
        ++counts[planeOffset(split, events.polarity(i), pixels) + shape.index(x, y)];
    }
    return outside;
}

template std::size_t histogram<std::uint32_t>(const EventRun&, FrameShape, bool, std::uint32_t*);
template std::size_t histogram<std::uint64_t>(const EventRun&, FrameShape, bool, std::uint64_t*);

std::size_t latestTimes(const EventRun& events, FrameShape shape, bool split, std::uint64_t until_us,
                        std::uint64_t* latest) {
    const std::size_t pixels = shape.pixels();
    std::size_t outside = 0;
    for (std::size_t i = 0; i < events.count; ++i) {
        const std::uint16_t x = events.x(i);
        const std::uint16_t y = events.y(i);
        if (!shape.contains(x, y)) {
            ++outside;
            continue;
        }
        const std::uint64_t t = events.timestamp(i);
        std::uint64_t& slot = latest[planeOffset(split, events.polarity(i), pixels) + shape.index(x, y)];
        // until_us is below the largest uint64, so t + 1 cannot wrap here.
        if (t <= until_us && t + 1 > slot) slot = t + 1;
    }
    return outside;
}

void decay(const std::uint64_t* latest, std::size_t size, std::uint64_t at_us, double tau_us, float* surface) {
    const double rate = -1.0 / tau_us;
    for (std::size_t i = 0; i < size; ++i) {
        surface[i] = latest[i] == 0 ? 0.0f
                                    : static_cast<float>(std::exp(static_cast<double>(at_us - (latest[i] - 1)) * rate));
    }
}

std::size_t voxelGrid(const EventRun& events, FrameShape shape, std::size_t bins, std::uint64_t start_us,
                      std::uint64_t end_us, float* grid) {
    const std::size_t pixels = shape.pixels();
    const double scale =
        end_us > start_us ? static_cast<double>(bins - 1) / static_cast<double>(end_us - start_us) : 0.0;
    std::size_t leftOut = 0;
    for (std::size_t i = 0; i < events.count; ++i) {
        const std::uint16_t x = events.x(i);
        const std::uint16_t y = events.y(i);
        const std::uint64_t t = events.timestamp(i);
        if (!shape.contains(x, y) || t < start_us || t > end_us) {
            ++leftOut;
            continue;
        }
        const double position = static_cast<double>(t - start_us) * scale;
        // position is at most bins - 1; rounding may carry it a hair past, never a whole bin.
        std::size_t lower = static_cast<std::size_t>(position);
        if (lower > bins - 1) lower = bins - 1;
        const float upperWeight = static_cast<float>(position - static_cast<double>(lower));
        const float sign = events.polarity(i) != 0 ? 1.0f : -1.0f;
        float* pixel = grid + shape.index(x, y);
        pixel[lower * pixels] += sign * (1.0f - upperWeight);
        if (lower + 1 < bins) pixel[(lower + 1) * pixels] += sign * upperWeight;
    }
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

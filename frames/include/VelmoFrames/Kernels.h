#pragma once

#include <VelmoBase/Event2D.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>

// The passes over arrays of events behind velmo.frames: plain C++ over a strided run of
// records, with no Python in them, so that they run with the interpreter lock released.
namespace velmo::frames {

// The stride of records that lie back to back.
struct PackedStride {
    constexpr explicit operator std::ptrdiff_t() const { return sizeof(Event2D); }
};

// A run of Event2D records in memory that the caller keeps alive: `count` records, the first
// at `first`, each `stride` bytes after the one before (negative for a reversed view). NumPy
// views may place records at any byte offset, so fields are copied out, never dereferenced.
// The stride is a number, or a type that holds it as a constant (PackedStride).
template <typename Stride>
struct BasicEventRun {
    const unsigned char* first = nullptr;
    Stride stride{};
    std::size_t count = 0;

    const unsigned char* at(std::size_t index) const {
        // Back to back, the offset is an unsigned product: GCC then sees the loads step by a
        // constant, where a converted index kept it from that, and the passes ran 1% to 4% faster.
        if constexpr (std::is_same_v<Stride, PackedStride>) return first + index * sizeof(Event2D);
        else return first + static_cast<std::ptrdiff_t>(index) * static_cast<std::ptrdiff_t>(stride);
    }
    std::uint16_t x(std::size_t index) const { return field<std::uint16_t>(index, offsetof(Event2D, x)); }
    std::uint16_t y(std::size_t index) const { return field<std::uint16_t>(index, offsetof(Event2D, y)); }
    std::uint8_t polarity(std::size_t index) const {
        return field<std::uint8_t>(index, offsetof(Event2D, polarity));
    }
    std::uint64_t timestamp(std::size_t index) const {
        return field<std::uint64_t>(index, offsetof(Event2D, timestamp));
    }

private:
    template <typename Value>
    Value field(std::size_t index, std::size_t offset) const {
        Value value;
        std::memcpy(&value, at(index) + offset, sizeof value);
        return value;
    }
};

using EventRun = BasicEventRun<std::ptrdiff_t>;

// The pixels of a frame, row by row; events at or beyond its width or height fall outside.
struct FrameShape {
    std::size_t height = 0;
    std::size_t width = 0;

    std::size_t pixels() const { return height * width; }
    bool contains(std::uint16_t x, std::uint16_t y) const { return x < width && y < height; }
    std::size_t index(std::uint16_t x, std::uint16_t y) const { return std::size_t{y} * width + x; }
};

// How many events fall outside the frame.
std::size_t countOutside(const EventRun& events, FrameShape shape);

// Counts each event inside the frame at its pixel in `counts`: one plane of height x width, or
// two (OFF, then ON; any non-zero polarity is ON) when split. Every element of `counts` is
// written. Returns how many events fell outside the frame.
template <typename Count>
std::size_t histogram(const EventRun& events, FrameShape shape, bool split, Count* counts);

// exp(-(at_us - t) / tau_us) for t the time stamp of each pixel's latest event at or before
// at_us, whatever the order of the events, and 0 where there is none; planes as histogram's.
// Every element of `surface` is written. Returns how many events fell outside the frame.
std::size_t timeSurface(const EventRun& events, FrameShape shape, bool split, std::uint64_t at_us, double tau_us,
                        float* surface);

// The temporal bilinear voxel grid: each event inside the frame with a time stamp in
// [start_us, end_us] lands at t' = (bins - 1) (t - start_us) / (end_us - start_us) and adds its
// polarity (+1 ON, -1 OFF) times 1 - |t' - b| to the two bins b nearest t'. When end_us equals
// start_us every such event lands in bin 0. Every element of `grid`, bins planes, is written.
// Returns how many events were left out: outside the frame or outside the time span.
std::size_t voxelGrid(const EventRun& events, FrameShape shape, std::size_t bins, std::uint64_t start_us,
                      std::uint64_t end_us, float* grid);

// The four fields of an event, by the letters that name them in a column order.
enum class Column : std::uint8_t { Timestamp, X, Y, Polarity };

// Writes events.count rows of four columns, row by row, in the given column order, each value
// converted to Value. Returns the largest time stamp written (0 for no event), so that the
// caller can tell whether Value holds every time stamp.
template <typename Value>
std::uint64_t toColumns(const EventRun& events, const Column (&order)[4], Value* rows);

// Whether the time stamps never decrease along the run; `firstDecrease` gets the index of the
// first event earlier than the one before it.
bool timeSorted(const EventRun& events, std::size_t& firstDecrease);

// Index of the first event of a time-sorted run whose time stamp is at least `t_us`, searching
// from `from` on.
std::size_t firstAtOrAfter(const EventRun& events, std::size_t from, std::uint64_t t_us);

// One pixel of RGB: the colours of the event picture.
struct Rgb {
    std::uint8_t red;
    std::uint8_t green;
    std::uint8_t blue;
};

struct Palette {
    Rgb none;
    Rgb on;
    Rgb off;
    Rgb both;
};

// Colours each pixel of `rgb` (height x width x 3) by whether `off` and `on` (height x width
// each) are non-zero there.
template <typename Count>
void colour(const Count* off, const Count* on, std::size_t pixels, const Palette& palette, std::uint8_t* rgb);

}  // namespace velmo::frames

#include <VelmoFrames/Kernels.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <ostream>
#include <random>
#include <vector>

namespace velmo::frames {
namespace {

constexpr FrameShape kFrame{5, 7};

EventRun runOf(const std::vector<Event2D>& events) {
    return EventRun{reinterpret_cast<const unsigned char*>(events.data()), sizeof(Event2D), events.size()};
}

Event2D eventAt(std::uint16_t x, std::uint16_t y, std::uint8_t polarity, std::uint64_t t) {
    Event2D event{};
    event.x = x;
    event.y = y;
    event.polarity = polarity;
    event.timestamp = t;
    return event;
}

// `crowd` events at pixel (3, 2), ON; `spread` events over the frame and `outside` beyond it.
struct CountCase {
    std::size_t crowd;
    std::size_t spread;
    std::size_t outside;
};

void PrintTo(const CountCase& c, std::ostream* out) {
    *out << c.crowd << " at one pixel, " << c.spread << " spread, " << c.outside << " outside";
}

std::vector<Event2D> countCaseEvents(const CountCase& c) {
    std::mt19937 random(7);
    std::vector<Event2D> events;
    for (std::size_t i = 0; i < c.crowd; ++i) events.push_back(eventAt(3, 2, 1, i));
    for (std::size_t i = 0; i < c.spread; ++i) {
        events.push_back(eventAt(static_cast<std::uint16_t>(random() % kFrame.width),
                                 static_cast<std::uint16_t>(random() % kFrame.height),
                                 static_cast<std::uint8_t>(random() % 2), i));
    }
    for (std::size_t i = 0; i < c.outside; ++i) events.push_back(eventAt(kFrame.width, 0, 0, i));
    std::shuffle(events.begin(), events.end(), random);
    return events;
}

class HistogramCounts : public ::testing::TestWithParam<CountCase> {};

// Counts are kept a byte each while the events go through, in blocks of 8192, each event
// applied 64 after it was worked out: these cases sit on both sides of a byte's wrap and of a
// block's end, for every entry and for the outside, and one block is shorter than 64 events.
// Fewer events than a quarter of the entries are counted straight into the result: the last
// two cases.
TEST_P(HistogramCounts, MatchCountingEventByEvent) {
    const std::vector<Event2D> events = countCaseEvents(GetParam());
    std::vector<std::uint64_t> expected(2 * kFrame.pixels(), 0);
    for (const Event2D& e : events) {
        if (kFrame.contains(e.x, e.y)) ++expected[(e.polarity != 0) * kFrame.pixels() + kFrame.index(e.x, e.y)];
    }
    std::vector<std::uint32_t> narrow(expected.size(), 7);
    std::vector<std::uint64_t> wide(expected.size(), 7);
    EXPECT_EQ(histogram(runOf(events), kFrame, true, narrow.data()), GetParam().outside);
    EXPECT_EQ(histogram(runOf(events), kFrame, true, wide.data()), GetParam().outside);
    EXPECT_EQ(std::vector<std::uint64_t>(narrow.begin(), narrow.end()), expected);
    EXPECT_EQ(wide, expected);
}

INSTANTIATE_TEST_SUITE_P(Kernels, HistogramCounts,
                         ::testing::Values(CountCase{255, 0, 0}, CountCase{256, 0, 0}, CountCase{257, 0, 0},
                                           CountCase{511, 0, 0}, CountCase{512, 0, 255}, CountCase{0, 0, 256},
                                           CountCase{0, 8191, 0}, CountCase{0, 8192, 0}, CountCase{0, 8193, 0},
                                           CountCase{1000, 20000, 300}, CountCase{5, 20, 3},
                                           CountCase{2, 10, 3}, CountCase{0, 0, 0}));

// Few events to many entries are counted straight into the result, on x86-64 from four
// back-to-back records at a time: every field at its extremes, inside the frame and out, with
// the padding after polarity set, in a run whose length is not a multiple of the 64 worked out
// at a time, and in the same records strided, which go one at a time.
TEST(HistogramOfFewEvents, MatchesCountingEventByEvent) {
    constexpr FrameShape kWide{40, 50};
    const std::uint16_t xs[] = {0, 1, 49, 50, 65535};
    const std::uint16_t ys[] = {0, 39, 40, 65535};
    const std::uint8_t polarities[] = {0, 1, 2, 255};
    std::mt19937 random(5);
    std::vector<Event2D> events;
    for (std::size_t i = 0; i < 200; ++i) {
        const bool extreme = i % 3 == 0;
        events.push_back(eventAt(static_cast<std::uint16_t>(extreme ? xs[random() % 5] : random() % kWide.width),
                                 static_cast<std::uint16_t>(extreme ? ys[random() % 4] : random() % kWide.height),
                                 polarities[random() % 4], i));
    }
    std::vector<std::uint32_t> expected(2 * kWide.pixels(), 0);
    std::size_t outside = 0;
    for (const Event2D& e : events) {
        if (kWide.contains(e.x, e.y)) ++expected[(e.polarity != 0) * kWide.pixels() + kWide.index(e.x, e.y)];
        else ++outside;
    }
    std::vector<Event2D> spaced;
    for (const Event2D& e : events) spaced.insert(spaced.end(), {e, eventAt(1, 1, 1, 0)});
    // Copies of a struct need not keep its padding: it is set where the records lie.
    constexpr std::size_t kPadding = offsetof(Event2D, polarity) + 1;
    constexpr std::size_t kPaddingBytes = offsetof(Event2D, timestamp) - kPadding;
    for (std::vector<Event2D>* records : {&events, &spaced}) {
        for (Event2D& e : *records) std::memset(reinterpret_cast<unsigned char*>(&e) + kPadding, 0xFF, kPaddingBytes);
    }
    const EventRun strided{reinterpret_cast<const unsigned char*>(spaced.data()), 2 * sizeof(Event2D), events.size()};
    for (const EventRun& run : {runOf(events), strided}) {
        std::vector<std::uint32_t> counts(expected.size(), 7);
        EXPECT_EQ(histogram(run, kWide, true, counts.data()), outside);
        EXPECT_EQ(counts, expected);
    }
}

enum class Disorder { None, Shuffled };

// The time surface takes one of its passes by the events per entry of a split frame: fewer than
// a quarter (only the events' entries are decayed), fewer than twenty (forward), or more, in time
// order (backward) or not (backward until the first event out of order, then forward).
struct SurfaceCase {
    std::size_t events;
    FrameShape frame;
    Disorder disorder;
};

void PrintTo(const SurfaceCase& c, std::ostream* out) {
    *out << c.events << " events on " << c.frame.width << " x " << c.frame.height << ", "
         << (c.disorder == Disorder::None ? "in time order" : "shuffled");
}

class TimeSurfacePasses : public ::testing::TestWithParam<SurfaceCase> {};

// A pixel's latest event at or before the time asked for wins whatever the order of the
// events, across blocks; events after that time change nothing, and a pixel with none is 0.
TEST_P(TimeSurfacePasses, DecayEachPixelsLatestEventAtOrBeforeTheTime) {
    const SurfaceCase c = GetParam();
    std::mt19937 random(11);
    std::vector<Event2D> events;
    for (std::uint64_t t = 0; t < c.events; ++t) {
        events.push_back(eventAt(static_cast<std::uint16_t>(random() % (c.frame.width + 1)),
                                 static_cast<std::uint16_t>(random() % c.frame.height),
                                 static_cast<std::uint8_t>(random() % 2), t));
    }
    const std::uint64_t at = c.events * 3 / 4;
    constexpr double kTau = 100.0;
    std::vector<std::int64_t> latest(2 * c.frame.pixels(), -1);
    std::size_t outside = 0;
    for (const Event2D& e : events) {
        if (!c.frame.contains(e.x, e.y)) {
            ++outside;
        } else if (e.timestamp <= at) {
            std::int64_t& last = latest[(e.polarity != 0) * c.frame.pixels() + c.frame.index(e.x, e.y)];
            last = std::max(last, static_cast<std::int64_t>(e.timestamp));
        }
    }
    if (c.disorder == Disorder::Shuffled) std::shuffle(events.begin(), events.end(), random);
    std::vector<float> surface(latest.size(), 7.0f);
    EXPECT_EQ(timeSurface(runOf(events), c.frame, true, at, kTau, surface.data()), outside);
    for (std::size_t entry = 0; entry < latest.size(); ++entry) {
        const double expected =
            latest[entry] < 0 ? 0.0
                              : std::exp(-static_cast<double>(at - static_cast<std::uint64_t>(latest[entry])) / kTau);
        EXPECT_NEAR(surface[entry], expected, 1e-6 * expected) << entry;
    }
}

INSTANTIATE_TEST_SUITE_P(Kernels, TimeSurfacePasses,
                         ::testing::Values(SurfaceCase{20000, kFrame, Disorder::None},
                                           SurfaceCase{20000, kFrame, Disorder::Shuffled},
                                           SurfaceCase{1000, FrameShape{20, 30}, Disorder::None},
                                           SurfaceCase{100, FrameShape{20, 30}, Disorder::Shuffled}));

class TimeSurfaceDecay : public ::testing::TestWithParam<double> {};

// The decay matches exp in double to single precision, from an age of 0 to past where float's
// normal range ends, whichever width of vectors the processor gives it (this suite also runs
// under valgrind, which offers no AVX-512, so that a second clone is checked there).
TEST_P(TimeSurfaceDecay, MatchesExpToSinglePrecision) {
    const double tau = GetParam();
    constexpr FrameShape kStrip{20, 100};
    constexpr std::uint64_t kAt = std::uint64_t{1} << 24;
    const double longest = std::min(92 * tau, static_cast<double>(kAt));
    std::vector<Event2D> events;
    std::vector<double> expected;
    for (std::size_t i = 0; i < kStrip.pixels(); ++i) {
        const double fraction = static_cast<double>(i) / static_cast<double>(kStrip.pixels() - 1);
        const auto age = i == 0 ? std::uint64_t{0} : static_cast<std::uint64_t>(std::pow(longest, fraction));
        events.push_back(eventAt(static_cast<std::uint16_t>(i % kStrip.width),
                                 static_cast<std::uint16_t>(i / kStrip.width), 1, kAt - age));
        expected.push_back(std::exp(-static_cast<double>(age) / tau));
    }
    std::vector<float> surface(kStrip.pixels());
    timeSurface(runOf(events), kStrip, false, kAt, tau, surface.data());
    for (std::size_t i = 0; i < surface.size(); ++i) {
        EXPECT_NEAR(surface[i], expected[i], 2e-6 * expected[i] + 1e-37) << "age " << kAt - events[i].timestamp;
    }
}

INSTANTIATE_TEST_SUITE_P(Kernels, TimeSurfaceDecay, ::testing::Values(0.3, 1e5, 1e12));

struct VoxelCase {
    std::size_t bins;
    std::uint64_t start;
    std::uint64_t end;
};

void PrintTo(const VoxelCase& c, std::ostream* out) {
    *out << c.bins << " bins over [" << c.start << ", " << c.end << "]";
}

class VoxelGridShares : public ::testing::TestWithParam<VoxelCase> {};

// Every event in the window and the frame adds its polarity times 1 - |t' - b| to each bin b
// within 1 of its place t' in the window; events outside either are left out and counted.
TEST_P(VoxelGridShares, MatchTheBilinearFormula) {
    const VoxelCase c = GetParam();
    std::mt19937 random(13);
    std::vector<Event2D> events;
    for (std::uint64_t t = 0; t <= 1000; t += 1 + random() % 3) {
        events.push_back(eventAt(static_cast<std::uint16_t>(random() % (kFrame.width + 1)),
                                 static_cast<std::uint16_t>(random() % kFrame.height),
                                 static_cast<std::uint8_t>(random() % 2), t));
    }
    events.push_back(eventAt(1, 1, 1, c.end));
    std::vector<double> expected(c.bins * kFrame.pixels(), 0.0);
    std::size_t leftOut = 0;
    for (const Event2D& e : events) {
        if (!kFrame.contains(e.x, e.y) || e.timestamp < c.start || e.timestamp > c.end) {
            ++leftOut;
            continue;
        }
        const double place = c.end > c.start ? static_cast<double>(c.bins - 1) * static_cast<double>(e.timestamp - c.start) /
                                                   static_cast<double>(c.end - c.start)
                                             : 0.0;
        for (std::size_t b = 0; b < c.bins; ++b) {
            const double share = std::max(0.0, 1.0 - std::abs(place - static_cast<double>(b)));
            expected[b * kFrame.pixels() + kFrame.index(e.x, e.y)] += e.polarity != 0 ? share : -share;
        }
    }
    std::vector<float> grid(expected.size(), 7.0f);
    EXPECT_EQ(voxelGrid(runOf(events), kFrame, c.bins, c.start, c.end, grid.data()), leftOut);
    for (std::size_t entry = 0; entry < grid.size(); ++entry) EXPECT_NEAR(grid[entry], expected[entry], 1e-4) << entry;
}

INSTANTIATE_TEST_SUITE_P(Kernels, VoxelGridShares,
                         ::testing::Values(VoxelCase{1, 0, 1000}, VoxelCase{2, 0, 1000}, VoxelCase{5, 0, 1000},
                                           VoxelCase{5, 250, 600}, VoxelCase{3, 400, 400}, VoxelCase{4, 999, 1000}));

}  // namespace
}  // namespace velmo::frames

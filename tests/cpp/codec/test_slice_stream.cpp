#include <VelmoCodec/SliceStream.h>
#include <VelmoCodec/SliceStreamRecorder.h>
#include <VelmoSim/SimulatedCamera.h>

#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <ostream>
#include <stdexcept>
#include <thread>
#include <vector>

namespace velmo {
namespace {

using namespace std::chrono_literals;

// Where the sources below stand when a stream starts: slices are in the source's own time.
constexpr std::uint64_t kOriginUs = 7'000'000;

// Slice k holds k + 1 events, each at the slice's start, and the source ends after `slices`
// slices.
class CountingSource : public SliceSource {
public:
    explicit CountingSource(std::uint64_t slices = ~std::uint64_t{0}) : slices_(slices) {}

    bool readSlice(std::uint64_t duration_us, std::vector<Event2D>& events, std::vector<TriggerEvent>&) override {
        if (read_ == slices_) return false;
        Event2D event{};
        event.timestamp = position_us_;
        events.resize(events.size() + read_ + 1, event);
        ++read_;
        position_us_ += duration_us;
        return true;
    }
    std::uint64_t positionUs() const override { return position_us_; }

    std::atomic<std::uint64_t> read_{0};

private:
    std::uint64_t slices_;
    std::uint64_t position_us_ = kOriginUs;
};

// Gives one slice, then fails.
class FailingSource : public SliceSource {
public:
    bool readSlice(std::uint64_t, std::vector<Event2D>&, std::vector<TriggerEvent>&) override {
        if (read_++ > 0) throw std::runtime_error("the source broke");
        return true;
    }
    std::uint64_t positionUs() const override { return 0; }

private:
    int read_ = 0;
};

StreamSlice take(SliceStream& stream) {
    StreamSlice slice;
    EXPECT_EQ(stream.next(slice, 10s), SliceStream::Next::Slice);
    return slice;
}

TEST(SliceStream, StaysAtMostTheBacklogAheadAndDropsNothing) {
    auto source = std::make_shared<CountingSource>();
    SliceStream stream(source, {1'000, false, 3});
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(source->read_.load(), 3u);
    for (std::uint64_t k = 0; k < 20; ++k) {
        const StreamSlice slice = take(stream);
        EXPECT_EQ(slice.start_us, kOriginUs + k * 1'000);
        EXPECT_EQ(slice.end_us, kOriginUs + (k + 1) * 1'000);
        EXPECT_EQ(slice.events.size(), k + 1);
        EXPECT_EQ(slice.dropped_slices_before, 0u);
    }
    EXPECT_EQ(stream.droppedSlices(), 0u);
}

class FiniteSource : public ::testing::TestWithParam<bool> {};

TEST_P(FiniteSource, EndsTheStreamAfterItsLastSlice) {
    SliceStream stream(std::make_shared<CountingSource>(2), {1'000, GetParam(), 8});
    take(stream);
    EXPECT_EQ(take(stream).end_us, kOriginUs + 2'000u);
    StreamSlice slice;
    EXPECT_EQ(stream.next(slice, 10s), SliceStream::Next::Ended);
    EXPECT_EQ(stream.next(slice, 10s), SliceStream::Next::Ended);
}

INSTANTIATE_TEST_SUITE_P(RealtimeOrNot, FiniteSource, ::testing::Bool());

class BrokenSource : public ::testing::TestWithParam<bool> {};

TEST_P(BrokenSource, GivesItsErrorOnceAfterTheSlicesReadBeforeIt) {
    SliceStream stream(std::make_shared<FailingSource>(), {1'000, GetParam(), 8});
    take(stream);
    StreamSlice slice;
    EXPECT_THROW(stream.next(slice, 10s), std::runtime_error);
    EXPECT_EQ(stream.next(slice, 10s), SliceStream::Next::Ended);
}

INSTANTIATE_TEST_SUITE_P(RealtimeOrNot, BrokenSource, ::testing::Bool());

TEST(SliceStream, RealtimeDeliversNoSliceBeforeItsSpanHasPassed) {
    SliceStream stream(std::make_shared<CountingSource>(), {5'000, true, 8});
    for (int k = 0; k < 5; ++k) {
        const StreamSlice slice = take(stream);
        EXPECT_GE(SliceStream::Clock::now(),
                  stream.startedAt() + std::chrono::microseconds(slice.end_us - stream.originUs()));
    }
    EXPECT_EQ(stream.droppedSlices(), 0u);
}

TEST(SliceStream, RealtimeCountsTheWholeSlicesAFullQueueDrops) {
    SliceStream stream(std::make_shared<CountingSource>(), {1'000, true, 2});
    std::this_thread::sleep_for(60ms);
    std::vector<StreamSlice> slices;
    for (int taken = 0; taken < 8; ++taken) slices.push_back(take(stream));
    // The queue kept the first two slices; those due while it was full were dropped.
    EXPECT_EQ(slices[1].start_us, kOriginUs + 1'000u);
    EXPECT_GT(slices[2].dropped_slices_before, 20u);
    std::uint64_t reported_slices = 0;
    std::uint64_t reported_events = 0;
    std::uint64_t expected_start = kOriginUs;
    for (const StreamSlice& slice : slices) {
        const std::uint64_t skipped = (slice.start_us - expected_start) / 1'000;
        EXPECT_EQ(slice.dropped_slices_before, skipped);
        // Slice k holds k + 1 events: the skipped ones held (expected_start - origin) / 1000 + 1 onwards.
        const std::uint64_t first = (expected_start - kOriginUs) / 1'000 + 1;
        EXPECT_EQ(slice.dropped_events_before, skipped * first + skipped * (skipped - 1) / 2);
        reported_slices += slice.dropped_slices_before;
        reported_events += slice.dropped_events_before;
        expected_start = slice.end_us;
    }
    stream.stop();
    EXPECT_GE(stream.droppedSlices(), reported_slices);
    EXPECT_GE(stream.droppedEvents(), reported_events);
}

struct StopCase {
    const char* name;
    SliceStream::Options options;
};

// By name: gtest would otherwise print the case's bytes, its padding among them.
void PrintTo(const StopCase& stop_case, std::ostream* out) { *out << stop_case.name; }

class StreamStopping : public ::testing::TestWithParam<StopCase> {};

TEST_P(StreamStopping, IsPrompt) {
    SliceStream stream(std::make_shared<CountingSource>(), GetParam().options);
    std::this_thread::sleep_for(20ms);
    const auto begun = SliceStream::Clock::now();
    stream.stop();
    EXPECT_LT(SliceStream::Clock::now() - begun, 500ms);
    StreamSlice slice;
    EXPECT_EQ(stream.next(slice, 0s), SliceStream::Next::Ended);
    stream.stop();
}

INSTANTIATE_TEST_SUITE_P(EveryWait, StreamStopping,
                         ::testing::Values(StopCase{"QueueFull", {1'000, false, 1}},
                                           StopCase{"WaitingForTheClock", {10'000'000, true, 4}}),
                         [](const auto& info) { return info.param.name; });

TEST(SliceStream, TakesTheCamerasSettingsFromTheNextSliceProduced) {
    std::shared_ptr<SimulatedCamera> camera = SimulatedCamera::open("");
    SliceStream stream(camera, {10'000, false, 2});
    EXPECT_TRUE(take(stream).triggers.empty());
    ASSERT_TRUE(camera->tool(ToolType::TRIGGER_IN)->setParam("enable", true));
    // Up to max_backlog slices were read before the change: one in the queue, one in hand.
    for (int k = 0; k < 2; ++k) take(stream);
    EXPECT_FALSE(take(stream).triggers.empty());
}

TEST(SliceStreamRecorder, RecordsEverySliceHandedOutInOrderWhileClosedUnderItsConsumers) {
    const std::string path = (std::filesystem::temp_directory_path() /
                              ("velmo-stream-recorder-" + std::to_string(::getpid()) + ".vrec"))
                                 .string();
    RecordingHeader header;
    header.raw_format = "EVT3;height=720;width=1280";
    header.recorded_at = utcTimestampNow();
    for (int round = 0; round < 20; ++round) {
        SliceStreamRecorder recorder(
            std::make_shared<SliceStream>(std::make_shared<CountingSource>(300), SliceStream::Options{1'000, false, 4}));
        recorder.recordTo(path, header, true);
        EXPECT_THROW(recorder.recordTo(path, header, true), std::invalid_argument);
        std::atomic<std::uint64_t> handed_out{0};
        const auto consume = [&] {
            StreamSlice slice;
            for (;;) {
                const SliceStream::Next got = recorder.next(slice, 10ms);
                if (got == SliceStream::Next::Ended) return;
                if (got == SliceStream::Next::Slice) handed_out += slice.events.size();
            }
        };
        std::thread first(consume);
        std::thread second(consume);
        std::this_thread::sleep_for(std::chrono::microseconds(300 * round));
        recorder.close();
        first.join();
        second.join();

        RecordingPlayback playback(path);
        EXPECT_FALSE(playback.file().truncated());
        EXPECT_EQ(playback.file().header().start_us, kOriginUs);
        std::vector<Event2D> events;
        std::vector<TriggerEvent> triggers;
        while (playback.readSlice(100'000, events, triggers)) {
        }
        EXPECT_EQ(events.size(), handed_out.load());
        EXPECT_TRUE(std::is_sorted(events.begin(), events.end(),
                                   [](const Event2D& a, const Event2D& b) { return a.timestamp < b.timestamp; }));
    }
    std::filesystem::remove(path);
}

}  // namespace
}  // namespace velmo

#include <VelmoCodec/SliceCutter.h>

#include <gtest/gtest.h>

#include <stdexcept>
#include <vector>

namespace velmo {
namespace {

Event2D eventAt(std::uint64_t t_us) {
    Event2D event{};
    event.timestamp = t_us;
    return event;
}

std::vector<std::uint64_t> timesOf(const std::vector<Event2D>& events) {
    std::vector<std::uint64_t> times;
    for (const Event2D& event : events) times.push_back(event.timestamp);
    return times;
}

TEST(SliceCutter, HandsOutASliceOnlyOnceTheStreamTimeHasPassedItsEnd) {
    SliceCutter cutter(100);
    std::vector<StreamSlice> out;
    const std::vector<Event2D> first{eventAt(250), eventAt(299)};
    cutter.add(first.data(), first.size(), nullptr, 0, 299, out);
    EXPECT_TRUE(out.empty());  // the slice [200, 300) may still grow

    const std::vector<Event2D> later{eventAt(300), eventAt(520)};
    cutter.add(later.data(), later.size(), nullptr, 0, 520, out);
    ASSERT_EQ(out.size(), 3u);
    EXPECT_EQ(out[0].start_us, 200u);
    EXPECT_EQ(out[0].end_us, 300u);
    EXPECT_EQ(timesOf(out[0].events), (std::vector<std::uint64_t>{250, 299}));
    EXPECT_EQ(timesOf(out[1].events), std::vector<std::uint64_t>{300});
    EXPECT_TRUE(out[2].events.empty());  // [400, 500): no record can come before 520 any more: empty

    cutter.finish(out);
    ASSERT_EQ(out.size(), 4u);
    EXPECT_EQ(out[3].start_us, 500u);
    EXPECT_EQ(timesOf(out[3].events), std::vector<std::uint64_t>{520});
}

TEST(SliceCutter, StartsAtTheSliceOfTheFirstRecordWhateverTheTimeWordsSaidBefore) {
    SliceCutter cutter(1000);
    std::vector<StreamSlice> out;
    cutter.add(nullptr, 0, nullptr, 0, 5'000, out);
    TriggerEvent edge{};
    edge.timestamp = 7'300;
    const std::vector<Event2D> events{eventAt(7'500)};
    cutter.add(events.data(), events.size(), &edge, 1, 8'000, out);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].start_us, 7'000u);
    EXPECT_EQ(out[0].triggers.size(), 1u);
    EXPECT_EQ(out[0].events.size(), 1u);
    cutter.finish(out);
    EXPECT_EQ(out.size(), 1u);
}

TEST(SliceCutter, RefusesRecordsOutOfOrderAndAZeroLength) {
    EXPECT_THROW(SliceCutter(0), std::invalid_argument);
    SliceCutter cutter(10);
    std::vector<StreamSlice> out;
    const std::vector<Event2D> backwards{eventAt(50), eventAt(40)};
    EXPECT_THROW(cutter.add(backwards.data(), backwards.size(), nullptr, 0, 60, out), std::invalid_argument);
}

}  // namespace
}  // namespace velmo

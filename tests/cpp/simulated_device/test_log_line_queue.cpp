#include <VelmoSim/LogLineQueue.h>

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

namespace velmo {
namespace {

LogLine lineNumbered(int n) { return {LogLevelType::INFO, "line " + std::to_string(n), "test.cpp", n}; }

std::vector<std::string> messagesOf(const std::vector<LogLine>& lines) {
    std::vector<std::string> messages;
    for (const LogLine& line : lines) messages.push_back(line.message);
    return messages;
}

const std::string kDroppedThree =
    "3 log lines were dropped here: they came faster than they could be handed on";

struct Take {
    std::size_t maxLines;
    std::vector<std::string> expected;
};

struct Overflow {
    const char* name;
    std::vector<Take> takes;
};

void PrintTo(const Overflow& overflow, std::ostream* out) { *out << overflow.name; }

class FullQueue : public ::testing::TestWithParam<Overflow> {};

// Four lines fit; lines 4, 5 and 6 find the queue full. Line 7 is pushed after the first take.
TEST_P(FullQueue, DropsTheLinesThatDoNotFitAndSaysHowManyWhereTheyWereLost) {
    LogLineQueue queue(4);
    for (int n = 0; n < 7; ++n) queue.push(lineNumbered(n));
    EXPECT_EQ(queue.dropped(), 3u);
    bool first = true;
    for (const Take& take : GetParam().takes) {
        const std::vector<LogLine> taken = queue.waitAndTake(take.maxLines);
        EXPECT_EQ(messagesOf(taken), take.expected);
        if (first) queue.push(lineNumbered(7));
        first = false;
    }
    EXPECT_EQ(queue.handedOut(), queue.queued());
    EXPECT_EQ(queue.queued(), 6u);
    EXPECT_EQ(queue.dropped(), 3u);
}

INSTANTIATE_TEST_SUITE_P(
    Takes, FullQueue,
    ::testing::Values(
        Overflow{"AllAtOnce", {{10, {"line 0", "line 1", "line 2", "line 3", kDroppedThree}}, {10, {"line 7"}}}},
        Overflow{"PartThenRest",
                 {{2, {"line 0", "line 1"}}, {10, {"line 2", "line 3", kDroppedThree, "line 7"}}}},
        Overflow{"OneByOne",
                 {{1, {"line 0"}}, {1, {"line 1"}}, {1, {"line 2"}}, {1, {"line 3"}}, {1, {kDroppedThree}},
                  {1, {"line 7"}}}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(LogLineQueue, ReportsDropsAsAWarningAndCountsEachLossOnce) {
    LogLineQueue queue(1);
    queue.push(lineNumbered(0));
    queue.push(lineNumbered(1));
    const std::vector<LogLine> taken = queue.waitAndTake(10);
    ASSERT_EQ(taken.size(), 2u);
    EXPECT_EQ(taken[1].level, LogLevelType::WARNING);
    EXPECT_EQ(taken[1].message.rfind("1 log lines were dropped here", 0), 0u);
    queue.push(lineNumbered(2));
    EXPECT_EQ(messagesOf(queue.waitAndTake(10)), std::vector<std::string>{"line 2"});
    EXPECT_EQ(queue.dropped(), 1u);
}

TEST(LogLineQueue, StopEndsAWaitingTakeAndDropsLaterLines) {
    LogLineQueue queue(4);
    std::vector<LogLine> taken = {lineNumbered(0)};
    std::thread taker([&] { taken = queue.waitAndTake(10); });
    queue.stop();
    taker.join();
    EXPECT_TRUE(taken.empty());
    queue.push(lineNumbered(1));
    EXPECT_TRUE(queue.waitAndTake(10).empty());
    EXPECT_EQ(queue.queued(), 0u);
}

TEST(LogLineQueue, HandsEveryLineOfManyThreadsOnOnceInTheOrderEachThreadPushed) {
    constexpr int kThreads = 4;
    constexpr int kLines = 20000;
    LogLineQueue queue(64);
    std::vector<std::thread> pushers;
    for (int t = 0; t < kThreads; ++t) {
        pushers.emplace_back([&queue, t] {
            for (int n = 0; n < kLines; ++n) queue.push({LogLevelType::INFO, std::to_string(t), "", n});
        });
    }
    std::vector<int> next(kThreads, 0);
    std::uint64_t received = 0;
    std::uint64_t reportedDrops = 0;
    std::thread taker([&] {
        while (received + reportedDrops < kThreads * kLines) {
            for (const LogLine& line : queue.waitAndTake(16)) {
                if (line.level == LogLevelType::WARNING) {
                    reportedDrops += std::stoull(line.message);
                    continue;
                }
                const int t = std::stoi(line.message);
                EXPECT_GE(line.line, next[t]);
                next[t] = line.line + 1;
                ++received;
            }
        }
    });
    for (std::thread& pusher : pushers) pusher.join();
    taker.join();
    EXPECT_EQ(reportedDrops, queue.dropped());
    EXPECT_EQ(received + queue.dropped(), std::uint64_t{kThreads} * kLines);
}

}  // namespace
}  // namespace velmo

#pragma once

#include <VelmoHal/device/Logger.h>

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

namespace velmo {

struct LogLine {
    LogLevelType level;
    std::string message;
    std::string file;
    int line;
};

// Log lines on their way from the threads that log to one thread that hands them on. The
// threads that log may hold locks of the library, so adding a line never waits for the taker:
// a line that finds the queue full is dropped and counted, and the taker is told how many were
// lost at the place they were lost.
class LogLineQueue {
public:
    explicit LogLineQueue(std::size_t capacity);
    LogLineQueue(const LogLineQueue&) = delete;
    LogLineQueue& operator=(const LogLineQueue&) = delete;

    // Queues the line, or drops and counts it when `capacity` lines wait already or the queue
    // has stopped. The queue's lock is held only to move the line in.
    void push(LogLine line);

    // Waits until a line waits or the queue stops, then hands out at most maxLines of the
    // oldest lines. Where lines were dropped, a WARNING line saying how many takes their
    // place, as soon as the lines before the gap are handed out. Empty once stopped.
    std::vector<LogLine> waitAndTake(std::size_t maxLines);

    // Ends every wait of waitAndTake; later lines are dropped.
    void stop();

    // Lines dropped so far, and lines queued so far (the lines that tell of drops included):
    // a line queued as the n-th has been handed out once handedOut() reaches n.
    std::uint64_t dropped() const;
    std::uint64_t queued() const;
    std::uint64_t handedOut() const;

private:
    void queueDropReport();

    const std::size_t capacity_;
    mutable std::mutex mutex_;
    std::condition_variable waiting_;
    std::deque<LogLine> lines_;
    std::uint64_t droppedSinceReport_ = 0;
    std::uint64_t dropped_ = 0;
    std::uint64_t queued_ = 0;
    std::uint64_t handedOut_ = 0;
    bool stopped_ = false;
};

}  // namespace velmo

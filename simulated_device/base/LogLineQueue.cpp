#include <VelmoCodec/TimedWait.h>
#include <VelmoSim/LogLineQueue.h>

#include <algorithm>
#include <iterator>
#include <utility>

namespace velmo {

LogLineQueue::LogLineQueue(std::size_t capacity) : capacity_(std::max<std::size_t>(capacity, 1)) {}

void LogLineQueue::push(LogLine line) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (stopped_ || lines_.size() >= capacity_) {
            ++dropped_;
            if (!stopped_) ++droppedSinceReport_;
            return;
        }
        queueDropReport();
        lines_.push_back(std::move(line));
        ++queued_;
    }
    waiting_.notify_one();
}

// The report may be the one line beyond the capacity: it stands for the lines that did not fit.
void LogLineQueue::queueDropReport() {
    if (droppedSinceReport_ == 0) return;
    lines_.push_back({LogLevelType::WARNING,
                      std::to_string(droppedSinceReport_) +
                          " log lines were dropped here: they came faster than they could be handed on",
                      "base/LogLineQueue.cpp", __LINE__});
    ++queued_;
    droppedSinceReport_ = 0;
}

std::vector<LogLine> LogLineQueue::waitAndTake(std::size_t maxLines) {
    std::unique_lock<std::mutex> lock(mutex_);
    waitUntil(waiting_, lock, [this] { return stopped_ || !lines_.empty(); });
    if (stopped_) return {};
    const std::size_t count = std::min(std::max<std::size_t>(maxLines, 1), lines_.size());
    std::vector<LogLine> taken(std::make_move_iterator(lines_.begin()),
                               std::make_move_iterator(lines_.begin() + static_cast<std::ptrdiff_t>(count)));
    lines_.erase(lines_.begin(), lines_.begin() + static_cast<std::ptrdiff_t>(count));
    if (lines_.empty()) {
        queueDropReport();
        if (!lines_.empty()) {
            taken.push_back(std::move(lines_.front()));
            lines_.pop_front();
        }
    }
    handedOut_ += taken.size();
    return taken;
}

void LogLineQueue::stop() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopped_ = true;
        lines_.clear();
    }
    waiting_.notify_all();
}

std::uint64_t LogLineQueue::dropped() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return dropped_;
}

std::uint64_t LogLineQueue::queued() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return queued_;
}

std::uint64_t LogLineQueue::handedOut() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return handedOut_;
}

}  // namespace velmo

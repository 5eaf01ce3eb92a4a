#include "ForkGeneration.h"

#include <VelmoHal/device/SliceStream.h>

#include <stdexcept>
#include <utility>

namespace velmo {

SliceStream::SliceStream(std::shared_ptr<SliceSource> source, Options options)
    : source_(std::move(source)), options_(options), started_in_fork_generation_(forkGeneration()) {
    if (!source_) throw std::invalid_argument("a stream needs a source");
    if (options_.slice_us == 0) throw std::invalid_argument("a stream's slices must last at least 1 us");
    if (options_.max_backlog == 0) throw std::invalid_argument("a stream must queue at least one slice");
    started_at_ = Clock::now();
    thread_ = std::make_unique<std::thread>(&SliceStream::produce, this);
}

SliceStream::~SliceStream() { stop(); }

void SliceStream::stop() {
    if (forkGeneration() != started_in_fork_generation_) {
        // The thread object names a thread of the parent: neither joining nor detaching it is
        // defined here, and destroying it joinable ends the process.
        static_cast<void>(thread_.release());
        return;
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
        queue_.clear();
    }
    changed_.notify_all();
    std::lock_guard<std::mutex> joining(joining_);
    if (thread_ && thread_->joinable()) thread_->join();
}

SliceStream::Next SliceStream::next(StreamSlice& slice, Clock::duration timeout) {
    if (forkGeneration() != started_in_fork_generation_)
        throw std::runtime_error("the stream was started before this process was forked; start it again here");
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait_for(lock, timeout, [this] { return !queue_.empty() || ended_ || stopping_; });
    if (!queue_.empty()) {
        slice = std::move(queue_.front());
        queue_.pop_front();
        lock.unlock();
        changed_.notify_all();
        return Next::Slice;
    }
    if (error_) {
        const std::exception_ptr error = std::exchange(error_, nullptr);
        std::rethrow_exception(error);
    }
    return ended_ || stopping_ ? Next::Ended : Next::NotYet;
}

void SliceStream::produce() {
    try {
        produceAll();
    } catch (...) {
        std::lock_guard<std::mutex> lock(mutex_);
        error_ = std::current_exception();
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        ended_ = true;
    }
    changed_.notify_all();
}

bool SliceStream::sleepUntil(std::unique_lock<std::mutex>& lock, Clock::time_point until) {
    return changed_.wait_until(lock, until, [this] { return stopping_; });
}

void SliceStream::produceAll() {
    const std::chrono::microseconds slice_span(options_.slice_us);
    std::uint64_t reported_slices = 0;
    std::uint64_t reported_events = 0;
    // Each slice is about as large as the one before it: reserving that much (and a little
    // more) spares the vector most of its moves as it grows.
    std::size_t expected_events = 0;
    for (std::uint64_t k = 0;; ++k) {
        StreamSlice slice;
        slice.start_us = k * options_.slice_us;
        slice.end_us = slice.start_us + options_.slice_us;
        {
            std::unique_lock<std::mutex> lock(mutex_);
            if (options_.realtime) {
                if (sleepUntil(lock, started_at_ + static_cast<std::int64_t>(k) * slice_span)) return;
            } else {
                changed_.wait(lock, [this] { return stopping_ || queue_.size() < options_.max_backlog; });
                if (stopping_) return;
            }
        }
        slice.events.reserve(expected_events + expected_events / 4);
        if (!source_->readSlice(options_.slice_us, slice.events, slice.triggers)) return;
        expected_events = slice.events.size();

        std::unique_lock<std::mutex> lock(mutex_);
        if (options_.realtime) {
            if (sleepUntil(lock, started_at_ + static_cast<std::int64_t>(k + 1) * slice_span)) return;
        } else if (stopping_) {
            return;
        }
        if (queue_.size() >= options_.max_backlog) {
            dropped_slices_.fetch_add(1);
            dropped_events_.fetch_add(slice.events.size());
            continue;
        }
        slice.dropped_slices_before = dropped_slices_.load() - reported_slices;
        slice.dropped_events_before = dropped_events_.load() - reported_events;
        reported_slices += slice.dropped_slices_before;
        reported_events += slice.dropped_events_before;
        queue_.push_back(std::move(slice));
        lock.unlock();
        changed_.notify_all();
    }
}

}  // namespace velmo

#include <VelmoCodec/ForkGeneration.h>
#include <VelmoCodec/SliceStream.h>
#include <VelmoCodec/TimedWait.h>

#include <algorithm>
#include <stdexcept>
#include <utility>

namespace velmo {

SliceStream::SliceStream(std::shared_ptr<SliceSource> source, Options options)
    : source_(std::move(source)), options_(options) {
    if (!source_) throw std::invalid_argument("a stream needs a source");
    origin_us_ = source_->positionUs();
    if (options_.slice_us == 0) throw std::invalid_argument("a stream's slices must last at least 1 us");
    if (options_.max_backlog == 0) throw std::invalid_argument("a stream must queue at least one slice");
    started_at_ = Clock::now();
    thread_ = std::make_unique<std::thread>(&SliceStream::produce, this);
}

SliceStream::~SliceStream() { stop(); }

void SliceStream::stop() {
    if (forked()) {
        // The thread object names a thread of the parent: neither joining nor detaching it is
        // defined here, and destroying it joinable ends the process.
        static_cast<void>(thread_.release());
        return;
    }
    {
        std::lock_guard<std::mutex> lock(sync_->mutex);
        stopping_ = true;
        queue_.clear();
        coming_.reset();
    }
    sync_->changed.notify_all();
    std::lock_guard<std::mutex> joining(sync_->joining);
    if (thread_ && thread_->joinable()) thread_->join();
}

void SliceStream::requireThisProcess() const {
    if (forked()) throw std::runtime_error("the stream was started before this process was forked; start it again here");
}

SliceStream::Next SliceStream::next(StreamSlice& slice, Clock::duration timeout) {
    requireThisProcess();
    const Clock::time_point deadline = Clock::now() + timeout;
    std::unique_lock<std::mutex> lock(sync_->mutex);
    for (;;) {
        if (!queue_.empty()) {
            slice = std::move(queue_.front());
            queue_.pop_front();
            lock.unlock();
            sync_->changed.notify_all();
            return Next::Slice;
        }
        // With nothing queued the coming slice is the next in order, and the consumer takes it
        // itself the moment it is due: waking the producer first would delay it.
        if (coming_ && Clock::now() >= coming_due_) {
            admit(*coming_);
            slice = std::move(*coming_);
            coming_.reset();
            return Next::Slice;
        }
        if (error_) {
            const std::exception_ptr error = std::exchange(error_, nullptr);
            std::rethrow_exception(error);
        }
        if (ended_ || stopping_) return Next::Ended;
        const Clock::time_point now = Clock::now();
        if (now >= deadline) return Next::NotYet;
        sync_->changed.wait_until(lock, coming_ ? std::min(deadline, coming_due_) : deadline);
    }
}

void SliceStream::admit(StreamSlice& slice) {
    slice.dropped_slices_before = dropped_slices_.load() - reported_slices_;
    slice.dropped_events_before = dropped_events_.load() - reported_events_;
    reported_slices_ += slice.dropped_slices_before;
    reported_events_ += slice.dropped_events_before;
}

void SliceStream::queueComing() {
    if (!coming_) return;
    if (queue_.size() >= options_.max_backlog) {
        dropped_slices_.fetch_add(1);
        dropped_events_.fetch_add(coming_->events.size());
    } else {
        admit(*coming_);
        queue_.push_back(std::move(*coming_));
    }
    coming_.reset();
}

void SliceStream::produce() {
    try {
        produceAll();
    } catch (...) {
        std::lock_guard<std::mutex> lock(sync_->mutex);
        error_ = std::current_exception();
    }
    {
        std::lock_guard<std::mutex> lock(sync_->mutex);
        ended_ = true;
    }
    sync_->changed.notify_all();
}

bool SliceStream::sleepUntil(std::unique_lock<std::mutex>& lock, Clock::time_point until) {
    return sync_->changed.wait_until(lock, until, [this] { return stopping_; });
}

void SliceStream::produceAll() {
    const std::chrono::microseconds slice_span(options_.slice_us);
    // Each slice is about as large as the one before it: reserving that much (and a little
    // more) spares the vector most of its moves as it grows.
    std::size_t expected_events = 0;
    for (std::uint64_t k = 0;; ++k) {
        StreamSlice slice;
        slice.start_us = origin_us_ + k * options_.slice_us;
        slice.end_us = slice.start_us + options_.slice_us;
        const Clock::time_point begins = started_at_ + static_cast<std::int64_t>(k) * slice_span;
        {
            std::unique_lock<std::mutex> lock(sync_->mutex);
            if (options_.realtime) {
                if (sleepUntil(lock, begins)) return;
                // The slice before this one is due now; unless the consumer took it already, it
                // joins the queue or, the queue being full, is dropped.
                queueComing();
            } else {
                waitUntil(sync_->changed, lock,
                          [this] { return stopping_ || queue_.size() < options_.max_backlog; });
                if (stopping_) return;
            }
        }
        slice.events.reserve(expected_events + expected_events / 4);
        const bool more = source_->readSlice(options_.slice_us, slice.events, slice.triggers);
        expected_events = slice.events.size();

        std::unique_lock<std::mutex> lock(sync_->mutex);
        if (stopping_ || !more) return;
        if (options_.realtime) {
            coming_ = std::move(slice);
            coming_due_ = begins + slice_span;
        } else {
            admit(slice);
            queue_.push_back(std::move(slice));
        }
        lock.unlock();
        sync_->changed.notify_all();
    }
}

}  // namespace velmo

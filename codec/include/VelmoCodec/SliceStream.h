#pragma once

#include <VelmoBase/Event2D.h>
#include <VelmoCodec/ForkGeneration.h>
#include <VelmoCodec/SliceSource.h>
#include <VelmoCodec/TriggerEvent.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

namespace velmo {

// One slice of a stream: what the source holds in [start_us, end_us) of its own time (the
// clock of its records' time stamps), and how much the stream dropped since the slice before it.
struct StreamSlice {
    std::uint64_t start_us = 0;
    std::uint64_t end_us = 0;
    std::vector<Event2D> events;
    std::vector<TriggerEvent> triggers;
    std::uint64_t dropped_slices_before = 0;
    std::uint64_t dropped_events_before = 0;
};

// Reads a source slice by slice on a thread of its own, into a queue of at most max_backlog
// slices that a consumer takes them from.
//
// Not realtime, the thread waits while the queue is full, so nothing is lost. Realtime, the
// source's time follows the clock, as a live camera's does: the k-th slice (from 0) is read
// when the clock reaches start + k slice_us, so that the settings of that moment apply to it,
// and is due when its span has passed, at start + (k + 1) slice_us. A consumer waiting then
// takes it at once; otherwise it joins the queue, or, the queue being full, is dropped whole,
// as a full device buffer drops data, and counted; the next slice delivered carries the
// count. A source slower than the clock delivers late rather than dropping.
//
// Slices still queued when the stream stops are discarded. The source must outlive the
// stream; the thread is the only one reading it until stop() returns. In a process forked after
// the stream started, the stream is inert: it waits for none of the parent's threads, and its
// locks and conditions, which they may have held, are never destroyed.
class SliceStream {
public:
    using Clock = std::chrono::steady_clock;

    struct Options {
        std::uint64_t slice_us = 10'000;
        bool realtime = false;
        std::size_t max_backlog = 16;
    };

    enum class Next { Slice, NotYet, Ended };

    // Starts reading at once, from the source's position. Throws std::invalid_argument for a
    // slice_us or max_backlog of 0.
    SliceStream(std::shared_ptr<SliceSource> source, Options options);
    // Stops, as stop() does.
    ~SliceStream();
    SliceStream(const SliceStream&) = delete;
    SliceStream& operator=(const SliceStream&) = delete;

    // Moves the next slice into `slice` if one comes within `timeout`. Ended once the source
    // has ended and every slice was taken, or once the stream is stopped; the source's error,
    // if reading it threw, is rethrown instead, once.
    // Throws as requireThisProcess() does.
    Next next(StreamSlice& slice, Clock::duration timeout);

    // Throws std::runtime_error, saying to start the stream again, in a process forked after
    // the stream started.
    void requireThisProcess() const;
    bool forked() const { return sync_.forked(); }

    // Asks the thread to stop and waits for it: at most the time the source takes to read
    // the slice in hand. Stopping twice is harmless. In a process forked from the one that
    // started the stream there is no thread to wait for, and its locks may be held forever:
    // the stream is then abandoned as it stands.
    void stop();

    const Options& options() const { return options_; }
    // The time the stream started at, on Clock, and the source's time there.
    Clock::time_point startedAt() const { return started_at_; }
    std::uint64_t originUs() const { return origin_us_; }
    std::uint64_t droppedSlices() const { return dropped_slices_.load(); }
    std::uint64_t droppedEvents() const { return dropped_events_.load(); }

private:
    void produce();
    void produceAll();
    // Sets the slice's counts of what was dropped since the slice delivered before it. The
    // callers hold the lock, as for the two below.
    void admit(StreamSlice& slice);
    // Moves the coming slice, now due, to the queue, or drops it if the queue is full.
    void queueComing();
    // Waits until `until` passes, or the stream stops; true if it stopped.
    bool sleepUntil(std::unique_lock<std::mutex>& lock, Clock::time_point until);

    std::shared_ptr<SliceSource> source_;
    Options options_;
    Clock::time_point started_at_;
    std::uint64_t origin_us_;

    struct Sync {
        std::mutex mutex;
        // Signalled when the queue gains a slice or the stream ends (for the consumer), and
        // when it loses one or the stream is asked to stop (for the producer).
        std::condition_variable changed;
        // Two threads stopping at once must not both join.
        std::mutex joining;
    };
    ForkGuarded<Sync> sync_;
    std::deque<StreamSlice> queue_;
    // Realtime, the slice read ahead of its time, and the time it is due.
    std::optional<StreamSlice> coming_;
    Clock::time_point coming_due_;
    std::uint64_t reported_slices_ = 0;
    std::uint64_t reported_events_ = 0;
    bool stopping_ = false;
    bool ended_ = false;
    std::exception_ptr error_;
    // Read without the lock, which a forked child may never get.
    std::atomic<std::uint64_t> dropped_slices_{0};
    std::atomic<std::uint64_t> dropped_events_{0};
    std::unique_ptr<std::thread> thread_;
};

}  // namespace velmo

#pragma once

#include <VelmoCodec/ForkGeneration.h>
#include <VelmoCodec/Recording.h>
#include <VelmoCodec/SliceStream.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

namespace velmo {

// The consumers' end of a SliceStream, which may record what it hands out. Any number of
// threads may take slices, start the recording and close it at once: one lock serialises taking
// a slice with writing it, so the recording gets every slice handed out after it started, in
// the stream's order, and is never finished or let go while a slice is being written to it.
//
// In a process forked after the stream started, the recording belongs to the parent: nothing
// is written to it or finished there, and the lock, which a parent's thread may have held, is
// never taken.
class SliceStreamRecorder {
public:
    explicit SliceStreamRecorder(std::shared_ptr<SliceStream> stream);
    // Finishes the recording if one is open; an error then leaves it a recording cut short.
    ~SliceStreamRecorder();
    SliceStreamRecorder(const SliceStreamRecorder&) = delete;
    SliceStreamRecorder& operator=(const SliceStreamRecorder&) = delete;

    SliceStream& stream() const { return *stream_; }

    // As SliceStream::next; a slice taken while recording is written before it is handed out.
    // When writing fails, the recording is finished as far as it got and let go, the slice is
    // lost, and the writer's error is thrown.
    SliceStream::Next next(StreamSlice& slice, SliceStream::Clock::duration timeout);

    // Starts recording the slices handed out from now on to a new file; the header's start is
    // set to where the next slice starts. Throws as RecordingWriter's constructor does, and
    // std::invalid_argument when the stream is already recording.
    void recordTo(const std::string& path, RecordingHeader header, bool overwrite);

    // Stops the stream, then finishes the recording once the slice being written, if any, is
    // in it. Closing twice is harmless. Throws as RecordingWriter::finish does.
    void close();

    // The path of the recording started, or empty if none was.
    std::string recordingPath() const;

private:
    struct Recording {
        std::mutex mutex;
        std::unique_ptr<RecordingWriter> writer;
        std::string path;
        // Where the next slice starts, in the source's time.
        std::uint64_t delivered_until_us = 0;
    };

    // Finishes and lets go of the writer; the caller holds the lock it is given.
    void finish(std::unique_lock<std::mutex>& lock);

    std::shared_ptr<SliceStream> stream_;
    ForkGuarded<Recording> recording_;
};

}  // namespace velmo

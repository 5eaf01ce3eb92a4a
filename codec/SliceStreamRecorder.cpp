#include <VelmoCodec/SliceStreamRecorder.h>

#include <stdexcept>
#include <utility>

namespace velmo {

SliceStreamRecorder::SliceStreamRecorder(std::shared_ptr<SliceStream> stream) : stream_(std::move(stream)) {
    recording_->delivered_until_us = stream_->originUs();
}

SliceStreamRecorder::~SliceStreamRecorder() {
    if (recording_.forked()) return;
    std::unique_lock<std::mutex> lock(recording_->mutex);
    try {
        finish(lock);
    } catch (const std::exception&) {
    }
}

SliceStream::Next SliceStreamRecorder::next(StreamSlice& slice, SliceStream::Clock::duration timeout) {
    stream_->requireThisProcess();
    std::unique_lock<std::mutex> lock(recording_->mutex);
    const SliceStream::Next got = stream_->next(slice, timeout);
    if (got != SliceStream::Next::Slice) return got;
    recording_->delivered_until_us = slice.end_us;
    if (!recording_->writer) return got;
    try {
        recording_->writer->append(slice.events.data(), slice.events.size(), slice.triggers.data(),
                                   slice.triggers.size(), slice.end_us);
    } catch (...) {
        // The append's error is the one to report; the recording stays what could be finished.
        try {
            finish(lock);
        } catch (const std::exception&) {
        }
        throw;
    }
    return got;
}

void SliceStreamRecorder::recordTo(const std::string& path, RecordingHeader header, bool overwrite) {
    stream_->requireThisProcess();
    std::lock_guard<std::mutex> lock(recording_->mutex);
    if (!recording_->path.empty()) throw std::invalid_argument("the stream is already recording to " + recording_->path);
    header.start_us = recording_->delivered_until_us;
    recording_->writer = std::make_unique<RecordingWriter>(path, header, overwrite);
    recording_->path = path;
}

void SliceStreamRecorder::close() {
    stream_->stop();
    if (recording_.forked()) return;
    std::unique_lock<std::mutex> lock(recording_->mutex);
    finish(lock);
}

std::string SliceStreamRecorder::recordingPath() const {
    if (recording_.forked()) return {};
    std::lock_guard<std::mutex> lock(recording_->mutex);
    return recording_->path;
}

void SliceStreamRecorder::finish(std::unique_lock<std::mutex>&) {
    const std::unique_ptr<RecordingWriter> writer = std::move(recording_->writer);
    if (writer) writer->finish();
}

}  // namespace velmo

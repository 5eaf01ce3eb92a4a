#include <VelmoCodec/QuotedText.h>
#include <VelmoCodec/RawFileHeader.h>
#include <VelmoCodec/Recording.h>

#include "FileAccess.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <stdexcept>
#include <string_view>
#include <utility>

namespace velmo {

using files::refuseFile;

namespace {

// Room a read makes beyond the rate decoded so far: an eighth, for a busier span than the average.
constexpr double kRateHeadroom = 1.125;
// Small enough that a piece's records are still in cache when they are split at a read's end;
// large enough that a read costs a few system calls per hundred thousand events.
constexpr std::size_t kPlaybackChunkBytes = 64 * 1024;
// A read's last piece is sized to reach the read's end at the rate read so far, with this
// margin, and no smaller than kMinPieceBytes: the records past the end wait in the playback's
// own buffer and are copied once more, so the fewer the better.
constexpr double kPieceMargin = 1.0625;
constexpr std::size_t kMinPieceBytes = 4 * 1024;

// Storage kept beyond this many records after a long read is given back once it is empty.
constexpr std::size_t kKeptRecords = std::size_t{1} << 21;


Evt3Decoder decoderFor(const RecordingReader& file) {
    try {
        return Evt3Decoder::forFormat(RawFormat(file.header().raw_format));
    } catch (const std::invalid_argument& error) {
        refuseFile(file.path(), std::string("raw-format: ") + error.what());
    }
}

// What playback needs of the caller's output, a std::vector or a RecordBuffer: room past its
// end, cutting it back, appending.
template <typename Record>
Record* grownBy(std::vector<Record>& records, std::size_t more) {
    const std::size_t size = records.size();
    records.resize(size + more);
    return records.data() + size;
}

template <typename Record>
Record* grownBy(RecordBuffer<Record>& records, std::size_t more) {
    return records.grow(more);
}

template <typename Record>
void cutTo(std::vector<Record>& records, std::size_t count) {
    records.resize(count);
}

template <typename Record>
void cutTo(RecordBuffer<Record>& records, std::size_t count) {
    records.truncate(count);
}

template <typename Record>
void appendTo(std::vector<Record>& records, const Record* first, const Record* last) {
    records.insert(records.end(), first, last);
}

template <typename Record>
void appendTo(RecordBuffer<Record>& records, const Record* first, const Record* last) {
    records.append(first, last);
}

}  // namespace

RecordingPlayback::RecordingPlayback(const std::string& path)
    : file_(path), decoder_(decoderFor(file_)), chunk_(kPlaybackChunkBytes), position_us_(file_.header().start_us) {}

RecordingPlayback::RecordingPlayback(const std::string& path, const std::optional<RawFormat>& raw_format)
    : file_(path, raw_format, RawEvt3File{}),
      decoder_(decoderFor(file_)),
      chunk_(kPlaybackChunkBytes),
      position_us_(file_.header().start_us) {}

std::shared_ptr<RecordingPlayback> openPlayback(const std::string& path,
                                                const std::optional<RawFormat>& raw_format) {
    if (path.find('\0') != std::string::npos) refuseFile(quotedForMessage(path), "a path holds no NUL byte");
    const std::string magic = std::string(kRecordingMagicLine) + "\n";
    std::string start;
    // Only a regular file is looked into: opening a FIFO would wait for a writer. The readers
    // refuse anything else.
    struct stat status {};
    if (::stat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode)) {
        if (std::FILE* file = std::fopen(path.c_str(), "rb")) {
            start.resize(magic.size());
            start.resize(std::fread(start.data(), 1, start.size(), file));
            std::fclose(file);
        }
    }
    if (start != magic && (raw_format || start.rfind("% ", 0) == 0))
        return std::make_shared<RecordingPlayback>(path, raw_format);
    auto playback = std::make_shared<RecordingPlayback>(path);
    if (raw_format) {
        try {
            rawFormatOf(RawFileHeader{{{"format", playback->file().header().raw_format}}}, raw_format);
        } catch (const std::invalid_argument& error) {
            refuseFile(path, std::string("raw_format: ") + error.what());
        }
    }
    return playback;
}

const RecordingIndex& RecordingPlayback::index() {
    if (index_) return *index_;
    const RecordingIndex::DataReader read = [this](std::uint64_t offset, std::uint8_t* out, std::size_t size) {
        return file_.readAt(offset, out, size);
    };
    RecordingIndex stored(std::vector<RecordingIndexEntry>{});
    if (!file_.truncated() && RecordingIndex::readTrailer(read, file_.dataBytes(), stored)) {
        index_.emplace(std::move(stored));
    } else {
        index_.emplace(RecordingIndex::scan(read, file_.dataBytes()));
    }
    return *index_;
}

void RecordingPlayback::seek(std::uint64_t t_us) {
    std::lock_guard<std::mutex> lock(mutex_);
    RecordingIndexEntry start;
    try {
        start = index().startFor(t_us);
    } catch (const std::invalid_argument&) {
        // A damaged index at the end of the data: the data itself is whole, so read it through.
        index_.emplace(RecordingIndex::scan(
            [this](std::uint64_t offset, std::uint8_t* out, std::size_t size) { return file_.readAt(offset, out, size); },
            file_.dataBytes()));
        start = index_->startFor(t_us);
    }
    file_.seekData(start.offset);
    decoder_.resume(start.state);
    // readRaw's bytes start a stream of their own again: a decoder fed them from here on gets
    // the full time, wherever the seek went.
    encoder_ = Evt3Encoder();
    file_done_ = false;
    events_.begin = events_.end = 0;
    triggers_.begin = triggers_.end = 0;
    bytes_decoded_ = start.offset;
    while (!decodedThrough(t_us) && decodeMore()) {
        events_.dropBefore(t_us);
        triggers_.dropBefore(t_us);
    }
    events_.dropBefore(t_us);
    triggers_.dropBefore(t_us);
    position_us_ = t_us;
}

std::uint64_t RecordingPlayback::positionUs() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return position_us_;
}

bool RecordingPlayback::decodedThrough(std::uint64_t time_us) const {
    return file_done_ || (decoder_.timed() && decoder_.time() >= time_us);
}

template <typename Record>
Record* RecordingPlayback::Decoded<Record>::roomFor(std::size_t more) {
    if (storage.size() < end + more && begin > 0) {
        std::copy(storage.begin() + static_cast<std::ptrdiff_t>(begin),
                  storage.begin() + static_cast<std::ptrdiff_t>(end), storage.begin());
        end -= begin;
        begin = 0;
    }
    if (storage.size() < end + more) storage.resize(end + more + (end + more) / 2);
    return storage.data() + end;
}

template <typename Record>
template <typename Output>
void RecordingPlayback::Decoded<Record>::takeBefore(std::uint64_t end_us, Output& out) {
    Record* const first = storage.data() + begin;
    Record* const split = std::partition_point(first, storage.data() + end,
                                               [&](const Record& r) { return r.timestamp < end_us; });
    appendTo(out, first, split);
    begin = static_cast<std::size_t>(split - storage.data());
    if (begin == end) {
        begin = end = 0;
        if (storage.size() > kKeptRecords) std::vector<Record>().swap(storage);
    }
}

template <typename Record>
void RecordingPlayback::Decoded<Record>::dropBefore(std::uint64_t end_us) {
    std::vector<Record> dropped;
    takeBefore(end_us, dropped);
}

template <typename Record>
template <typename Output>
void RecordingPlayback::Decoded<Record>::keepFrom(std::uint64_t end_us, Output& records, std::size_t first) {
    Record* const last = records.data() + records.size();
    Record* const split = std::partition_point(records.data() + first, last,
                                               [&](const Record& r) { return r.timestamp < end_us; });
    const auto later = static_cast<std::size_t>(last - split);
    std::copy(split, last, roomFor(later));
    end += later;
    cutTo(records, records.size() - later);
}

std::size_t RecordingPlayback::pieceReaching(std::uint64_t end_us) const {
    const std::uint64_t start_us = file_.header().start_us;
    if (!decoder_.timed() || decoder_.time() <= start_us || decoder_.time() >= end_us || bytes_decoded_ == 0)
        return chunk_.size();
    const double bytes_per_us = static_cast<double>(bytes_decoded_) / static_cast<double>(decoder_.time() - start_us);
    const double wanted = bytes_per_us * kPieceMargin * static_cast<double>(end_us - decoder_.time());
    return static_cast<std::size_t>(std::clamp(wanted, static_cast<double>(kMinPieceBytes),
                                               static_cast<double>(chunk_.size())));
}

template <typename Events, typename Triggers>
void RecordingPlayback::decodeInto(std::uint64_t end_us, Events& events, Triggers& triggers) {
    const std::size_t got = readPiece(pieceReaching(end_us));
    if (got == 0) return;
    const Evt3Capacity capacity = decoder_.capacityFor(chunk_.data(), got);
    const std::size_t first_event = events.size();
    const std::size_t first_trigger = triggers.size();
    Event2D* event_room = grownBy(events, capacity.events);
    TriggerEvent* trigger_room = grownBy(triggers, capacity.triggers);
    const Evt3Decoded decoded = decoder_.decode(chunk_.data(), got, event_room, trigger_room);
    cutTo(events, first_event + decoded.events);
    cutTo(triggers, first_trigger + decoded.triggers);
    decoded_events_ += decoded.events;
    events_.keepFrom(end_us, events, first_event);
    triggers_.keepFrom(end_us, triggers, first_trigger);
}

std::size_t RecordingPlayback::readPiece(std::size_t bytes) {
    const std::size_t got = file_.read(chunk_.data(), bytes);
    if (got == 0) file_done_ = true;
    bytes_decoded_ += got;
    return got;
}

bool RecordingPlayback::decodeMore() {
    const std::size_t got = readPiece(chunk_.size());
    if (got == 0) return false;
    const Evt3Capacity capacity = decoder_.capacityFor(chunk_.data(), got);
    Event2D* events = events_.roomFor(capacity.events);
    TriggerEvent* triggers = triggers_.roomFor(capacity.triggers);
    const Evt3Decoded decoded = decoder_.decode(chunk_.data(), got, events, triggers);
    events_.end += decoded.events;
    triggers_.end += decoded.triggers;
    decoded_events_ += decoded.events;
    return true;
}

template <typename Events, typename Triggers>
void RecordingPlayback::readLocked(std::uint64_t duration_us, Events& events, Triggers& triggers) {
    const std::uint64_t end_us = position_us_ + duration_us;
    // Room for the span at the rate decoded so far, so that the caller's output rarely moves.
    const std::uint64_t start_us = file_.header().start_us;
    if (decoder_.timed() && decoder_.time() > start_us && decoded_events_ > 0) {
        const double per_us = static_cast<double>(decoded_events_) / static_cast<double>(decoder_.time() - start_us);
        events.reserve(events.size() +
                       static_cast<std::size_t>(per_us * kRateHeadroom * static_cast<double>(duration_us)));
    }
    // Records left from the last read go out first; once none wait, pieces decode straight into
    // the caller's output, and only the last piece's records past end_us wait for the next read.
    events_.takeBefore(end_us, events);
    triggers_.takeBefore(end_us, triggers);
    // A record still waiting after takeBefore lies at or past end_us, so the decoder's time
    // has reached end_us: the loop only runs while nothing waits.
    while (!decodedThrough(end_us)) decodeInto(end_us, events, triggers);
    position_us_ = end_us;
}

void RecordingPlayback::read(std::uint64_t duration_us, std::vector<Event2D>& events,
                             std::vector<TriggerEvent>& triggers) {
    requireReadableSpan(duration_us);
    std::lock_guard<std::mutex> lock(mutex_);
    readLocked(duration_us, events, triggers);
}

void RecordingPlayback::read(std::uint64_t duration_us, RecordBuffer<Event2D>& events,
                             RecordBuffer<TriggerEvent>& triggers) {
    requireReadableSpan(duration_us);
    std::lock_guard<std::mutex> lock(mutex_);
    readLocked(duration_us, events, triggers);
}

bool RecordingPlayback::readSlice(std::uint64_t duration_us, std::vector<Event2D>& events,
                                  std::vector<TriggerEvent>& triggers) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (position_us_ >= file_.endUs()) return false;
    readLocked(duration_us, events, triggers);
    return true;
}

std::size_t RecordingPlayback::readEvents(Event2D* out, std::size_t n) {
    std::lock_guard<std::mutex> lock(mutex_);
    while (events_.count() < n && decodeMore()) {
    }
    const std::size_t taken = std::min(n, events_.count());
    if (taken == 0) return 0;
    const Event2D* first = events_.storage.data() + events_.begin;
    std::copy(first, first + taken, out);
    position_us_ = std::max(position_us_, first[taken - 1].timestamp);
    events_.begin += taken;
    triggers_.dropBefore(position_us_);
    return taken;
}

void RecordingPlayback::readRaw(std::uint64_t duration_us, std::vector<std::uint8_t>& out) {
    requireReadableSpan(duration_us);
    std::lock_guard<std::mutex> lock(mutex_);
    raw_events_.clear();
    raw_triggers_.clear();
    const std::uint64_t end_us = position_us_ + duration_us;
    readLocked(duration_us, raw_events_, raw_triggers_);
    encoder_.startChunk();
    encoder_.encode(raw_events_.data(), raw_events_.size(), raw_triggers_.data(), raw_triggers_.size(), end_us, out);
}

}  // namespace velmo

#include <VelmoCodec/Evt3StreamScan.h>
#include <VelmoCodec/Evt3Words.h>
#include <VelmoCodec/RawFileHeader.h>
#include <VelmoCodec/Recording.h>

#include "FileAccess.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <stdexcept>
#include <system_error>
#include <utility>

namespace velmo {

using files::bytesText;
using files::diskSpaceOf;
using files::DiskSpace;
using files::openRegularFile;
using files::readAllAt;
using files::refuseFile;
using files::secondsText;
using files::throwErrno;
using files::writeAll;
using files::writeAllAt;

namespace {

// The time words are followed in pieces of this size.
constexpr std::size_t kScanChunkBytes = 64 * 1024;

}  // namespace

RecordingWriter::RecordingWriter(const std::string& path, const RecordingHeader& header, bool overwrite,
                                 std::optional<std::uint64_t> planned_end_us)
    : path_(path) {
    const RecordingHeaderText header_text = recordingHeaderText(header);
    const std::string& text = header_text.text;
    data_bytes_field_ = header_text.data_bytes_at;
    end_us_field_ = header_text.end_us_at;

    // Not blocking: a FIFO at the path would otherwise wait for a reader.
    const int flags = O_WRONLY | O_CREAT | O_CLOEXEC | O_NONBLOCK | (overwrite ? O_TRUNC : O_EXCL);
    fd_ = ::open(path.c_str(), flags, 0644);
    if (fd_ < 0) {
        struct stat status {};
        if (errno == EEXIST && ::stat(path.c_str(), &status) == 0 && S_ISDIR(status.st_mode)) errno = EISDIR;
        throwErrno("cannot create the recording", path);
    }
    try {
        struct stat status {};
        if (::fstat(fd_, &status) != 0) throwErrno("cannot create the recording", path);
        if (!S_ISREG(status.st_mode)) refuseFile(path, "cannot record to what is not a regular file");
        writeAll(fd_, reinterpret_cast<const std::uint8_t*>(text.data()), text.size(), path_);
    } catch (...) {
        ::close(fd_);
        throw;
    }
    header_bytes_ = text.size();
    start_us_ = end_us_ = header.start_us;
    planned_end_us_ = planned_end_us;
}

RecordingWriter::~RecordingWriter() { ::close(fd_); }

void RecordingWriter::append(const Event2D* events, std::size_t event_count, const TriggerEvent* triggers,
                             std::size_t trigger_count, std::uint64_t span_end_us) {
    if (finished_) throw std::logic_error("the recording " + path_ + " is finished");
    bytes_.clear();
    encoder_.encode(events, event_count, triggers, trigger_count, span_end_us, bytes_);
    const std::optional<DiskSpace> disk = diskSpaceOf(fd_);
    if (disk && bytes_.size() + disk->spare > disk->free) {
        keepCompleteSpans();
        throw RecordingOutOfSpace("stopped after " + secondsText(end_us_ - start_us_) + ": the next " +
                                  bytesText(static_cast<double>(bytes_.size())) + " would leave less than " +
                                  bytesText(static_cast<double>(disk->spare)) + " of its disk free (" +
                                  bytesText(static_cast<double>(disk->free)) + " are); the first " +
                                  secondsText(end_us_ - start_us_) + " are in " + path_);
    }
    writeKeepingCompleteSpans(bytes_.data(), bytes_.size());
    data_bytes_ += bytes_.size();
    end_us_ = span_end_us;
    if (!disk || !planned_end_us_ || end_us_ >= *planned_end_us_ || end_us_ == start_us_) return;
    const double rest_bytes = static_cast<double>(data_bytes_) / static_cast<double>(end_us_ - start_us_) *
                              static_cast<double>(*planned_end_us_ - end_us_);
    const std::uint64_t free_bytes = disk->free - bytes_.size();
    if (rest_bytes + static_cast<double>(disk->spare) <= static_cast<double>(free_bytes)) return;
    keepCompleteSpans();
    throw RecordingOutOfSpace("stopped after " + secondsText(end_us_ - start_us_) + ": at this rate the other " +
                              secondsText(*planned_end_us_ - end_us_) + " need about " + bytesText(rest_bytes) +
                              " and " + bytesText(static_cast<double>(free_bytes)) + " are free; the first " +
                              secondsText(end_us_ - start_us_) + " are in " + path_);
}

void RecordingWriter::keepCompleteSpans() noexcept {
    // A file cut back finishes; one that cannot be cut back is left unfinished, which still
    // reads as a recording cut short, where a finished header would disown its trailing bytes.
    finished_ = true;
    if (::ftruncate(fd_, static_cast<off_t>(header_bytes_ + data_bytes_)) != 0) return;
    try {
        writeHeaderFields();
    } catch (const std::system_error&) {
    }
}

void RecordingWriter::writeKeepingCompleteSpans(const std::uint8_t* data, std::size_t size) {
    try {
        writeAll(fd_, data, size, path_);
    } catch (const std::system_error&) {
        keepCompleteSpans();
        throw;
    }
    index_.follow(data, size);
}

void RecordingWriter::appendRecords(const Event2D* events, std::size_t event_count, const TriggerEvent* triggers,
                                    std::size_t trigger_count, std::uint32_t width, std::uint32_t height) {
    encoder_.setSensor(width, height);
    std::uint64_t span_end_us = records_until_;
    if (event_count > 0) span_end_us = std::max(span_end_us, events[event_count - 1].timestamp);
    if (trigger_count > 0) span_end_us = std::max(span_end_us, triggers[trigger_count - 1].timestamp);
    const std::uint64_t end_before = end_us_;
    append(events, event_count, triggers, trigger_count, span_end_us);
    records_until_ = span_end_us;
    end_us_ = event_count + trigger_count > 0 ? std::max(end_before, span_end_us + 1) : end_before;
}

void RecordingWriter::appendRaw(const std::uint8_t* data, std::size_t size) {
    if (finished_) throw std::logic_error("the recording " + path_ + " is finished");
    writeKeepingCompleteSpans(data, size);
    data_bytes_ += size;
    const Evt3StreamState& state = index_.tracker().state();
    if (state.timed) end_us_ = std::max(end_us_, state.time + 1);
}

void RecordingWriter::writeIndex() {
    // Data without a time word has no point to seek to.
    if (index_written_ || index_.entries().empty()) return;
    index_written_ = true;
    // Raw data may end in half a word: a high byte of the OTHERS type completes it into a word
    // that decoders skip, so that the index's words stay words.
    if (data_bytes_ % 2 != 0) {
        const std::uint8_t high = static_cast<std::uint8_t>(static_cast<unsigned>(evt3::WordType::Others) << 4);
        writeAll(fd_, &high, 1, path_);
        data_bytes_ += 1;
    }
    const std::vector<std::uint8_t> index = index_.encoded();
    writeAll(fd_, index.data(), index.size(), path_);
    data_bytes_ += index.size();
}

void RecordingWriter::finish() {
    if (finished_) return;
    finished_ = true;
    try {
        writeIndex();
    } catch (const std::system_error&) {
        // The index only spares a reader one scan of the data; the finished header is what counts.
        if (::ftruncate(fd_, static_cast<off_t>(header_bytes_ + data_bytes_)) != 0) throw;
    }
    writeHeaderFields();
}

void RecordingWriter::writeHeaderFields() {
    writeAllAt(fd_, finishedHeaderField(data_bytes_), data_bytes_field_, path_);
    writeAllAt(fd_, finishedHeaderField(end_us_), end_us_field_, path_);
}

RecordingOutOfSpace::RecordingOutOfSpace(const std::string& reason)
    : std::system_error(ENOSPC, std::generic_category(), reason), reason_(reason) {}

RecordingReader::RecordingReader(const std::string& path) : path_(path) {
    std::uint64_t file_bytes = 0;
    fd_ = openRegularFile(path, "a recording", file_bytes);
    try {
        std::vector<std::uint8_t> start(static_cast<std::size_t>(std::min<std::uint64_t>(file_bytes, kMaxRecordingHeaderBytes)));
        start.resize(readAllAt(fd_, start.data(), start.size(), 0, path));
        header_ = parseRecordingHeader(path, std::string(start.begin(), start.end()), header_bytes_);

        const std::uint64_t available = file_bytes - header_bytes_;
        if (header_.data_bytes && available > *header_.data_bytes)
            refuseFile(path, std::to_string(available - *header_.data_bytes) + " bytes follow the " +
                                 std::to_string(*header_.data_bytes) + " bytes of data its header declares");
        truncated_ = !header_.data_bytes || available < *header_.data_bytes || available % 2 != 0;
        data_bytes_ = available - available % 2;
        end_us_ = truncated_ ? lastTimeInData() : *header_.end_us;
    } catch (...) {
        ::close(fd_);
        throw;
    }
}

RecordingReader::RecordingReader(const std::string& path, const std::optional<RawFormat>& raw_format,
                                 RawEvt3File)
    : path_(path) {
    std::uint64_t file_bytes = 0;
    fd_ = openRegularFile(path, "a raw EVT3 file", file_bytes);
    try {
        std::vector<std::uint8_t> start(static_cast<std::size_t>(
            std::min<std::uint64_t>(file_bytes, RawHeaderFilter::kMaxHeaderBytes + 1)));
        start.resize(readAllAt(fd_, start.data(), start.size(), 0, path));
        RawHeaderFilter filter;
        try {
            filter.data(start.data(), start.size());
            header_.raw_format = rawFormatOf(filter.header(), raw_format);
            Evt3Decoder::forFormat(RawFormat(header_.raw_format));
        } catch (const std::invalid_argument& error) {
            refuseFile(path, error.what());
        }
        // A file that is a header alone holds no data.
        header_bytes_ = filter.decided() ? filter.headerBytes() : start.size();
        if (filter.header()) {
            for (const auto& [key, field] : {std::pair{"serial", &header_.camera.serial},
                                             std::pair{"product", &header_.camera.product},
                                             std::pair{"manufacturer", &header_.camera.manufacturer}}) {
                if (const std::optional<std::string> value = filter.header()->field(key)) *field = *value;
            }
        }
        header_.version = 0;

        const std::uint64_t available = file_bytes - header_bytes_;
        truncated_ = available % 2 != 0;
        data_bytes_ = available - available % 2;
        std::vector<std::uint8_t> window(static_cast<std::size_t>(
            std::min<std::uint64_t>(data_bytes_, Evt3StartCheck::kWindowBytes)));
        window.resize(readAt(0, window.data(), window.size()));
        try {
            Evt3StartCheck().check(window.data(), window.size());
        } catch (const std::invalid_argument& error) {
            refuseFile(path, error.what());
        }
        // No record comes before the first TIME_HIGH's time, the low half cleared.
        Evt3StateTracker tracker;
        for (std::size_t i = 0; i + 1 < window.size() && !tracker.state().timed; i += 2)
            tracker.follow(window.data() + i, 2);
        if (tracker.state().timed)
            header_.start_us = tracker.state().time & ~std::uint64_t{evt3::kPayloadMask};
        end_us_ = lastTimeInData();
        header_.data_bytes = data_bytes_;
        header_.end_us = end_us_;
    } catch (...) {
        ::close(fd_);
        throw;
    }
}

RecordingReader::~RecordingReader() { ::close(fd_); }

std::size_t RecordingReader::readAt(std::uint64_t offset, std::uint8_t* out, std::size_t size) const {
    if (offset >= data_bytes_) return 0;
    const auto wanted = static_cast<std::size_t>(std::min<std::uint64_t>(size, data_bytes_ - offset));
    return readAllAt(fd_, out, wanted, header_bytes_ + offset, path_);
}

std::size_t RecordingReader::read(std::uint8_t* out, std::size_t size) {
    // Once the data is known to be gone, every read says so, whatever the file holds by then.
    if (shrank_) refuseFile(path_, "shrank while it was read");
    const auto wanted = static_cast<std::size_t>(std::min<std::uint64_t>(size, data_bytes_ - offset_));
    const std::size_t got = readAllAt(fd_, out, wanted, header_bytes_ + offset_, path_);
    shrank_ = got < wanted;
    if (shrank_) refuseFile(path_, "shrank while it was read");
    offset_ += got;
    return got;
}

// The time words alone, followed as a decoder follows them: time goes on past a wrap.
std::uint64_t RecordingReader::lastTimeInData() {
    std::uint64_t time = header_.start_us;
    std::uint64_t clock = 0;
    bool timed = false;
    std::vector<std::uint8_t> chunk(kScanChunkBytes);
    rewind();
    while (const std::size_t got = read(chunk.data(), chunk.size())) {
        for (std::size_t i = 0; i + 1 < got; i += 2) {
            const auto word = static_cast<std::uint16_t>(chunk[i] | (chunk[i + 1] << 8));
            const unsigned type = word >> evt3::kTypeShift;
            const std::uint64_t payload = word & evt3::kPayloadMask;
            if (type == static_cast<unsigned>(evt3::WordType::TimeHigh)) {
                // A TIME_HIGH is the first time of its span: the low half starts again from 0.
                clock = evt3::timeAfterTimeHigh(clock & ~std::uint64_t{evt3::kPayloadMask}, timed,
                                                static_cast<std::uint32_t>(payload));
                timed = true;
                time = std::max(time, clock);
            } else if (type == static_cast<unsigned>(evt3::WordType::TimeLow) && timed) {
                clock = (clock & ~std::uint64_t{evt3::kPayloadMask}) | payload;
                time = std::max(time, clock);
            }
        }
    }
    rewind();
    // The records at the last time are part of the recording.
    return data_bytes_ == 0 ? header_.start_us : time + 1;
}

}  // namespace velmo

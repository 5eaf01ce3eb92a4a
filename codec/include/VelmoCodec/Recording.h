#pragma once

#include <VelmoBase/Event2D.h>
#include <VelmoCodec/Evt3Decoder.h>
#include <VelmoCodec/Evt3Encoder.h>
#include <VelmoCodec/RawFormat.h>
#include <VelmoCodec/RecordBuffer.h>
#include <VelmoCodec/RecordingHeader.h>
#include <VelmoCodec/RecordingIndex.h>
#include <VelmoCodec/SliceSource.h>
#include <VelmoCodec/TriggerEvent.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

namespace velmo {

// A recording stopped, and finished, because what was left of it would not fit on its disk;
// reason() says how much it needed, how much was free and what the file holds.
class RecordingOutOfSpace : public std::system_error {
public:
    explicit RecordingOutOfSpace(const std::string& reason);
    const std::string& reason() const { return reason_; }

private:
    std::string reason_;
};

// Creates a recording file and appends spans of records to it, encoded as EVT3 from time 0 on
// (time words up to the first span included), so that the data decodes on its own into the
// camera's own time stamps, however late in the camera's stream the recording began.
// Whatever stops it, the file stays a finished recording of its complete spans.
// Not thread-safe.
class RecordingWriter {
public:
    // Creates the file and writes the header (its data-bytes and end-us left unfinished).
    // planned_end_us, when given, is where the recording is meant to end: a span after which
    // the rest would not fit on the disk at the rate written so far stops it.
    // Throws std::system_error naming the path when the file cannot be created, EEXIST when it
    // exists and overwrite is false, EISDIR for a directory; std::invalid_argument for
    // something other than a regular file, or header text holding a line break.
    RecordingWriter(const std::string& path, const RecordingHeader& header, bool overwrite,
                    std::optional<std::uint64_t> planned_end_us = std::nullopt);
    // Closes the file; a file never finished reads as a recording cut short.
    ~RecordingWriter();
    RecordingWriter(const RecordingWriter&) = delete;
    RecordingWriter& operator=(const RecordingWriter&) = delete;

    // Encodes the records of the span that ends at span_end_us and writes them straight to the
    // file. Throws std::invalid_argument as Evt3Encoder::encode does, writing nothing. A span
    // that cannot be written whole (a full disk, the file-size limit, any write error) is cut
    // off again and the file finished without it: std::system_error naming the path. A span
    // that would leave less than a small spare of the disk free, or (with a planned end) after
    // which the rest would not fit, finishes the file: RecordingOutOfSpace. Once finished, the
    // writer refuses more spans with std::logic_error.
    void append(const Event2D* events, std::size_t event_count, const TriggerEvent* triggers,
                std::size_t trigger_count, std::uint64_t span_end_us);
    // Encodes the records, each list in time order from where the last call's ended on, for a
    // sensor of width x height; the recorded end becomes one past the last record. Throws
    // std::invalid_argument naming the first record that cannot be encoded (as
    // Evt3Encoder::encode), writing nothing, and otherwise as append.
    void appendRecords(const Event2D* events, std::size_t event_count, const TriggerEvent* triggers,
                       std::size_t trigger_count, std::uint32_t width, std::uint32_t height);
    // Writes EVT3 bytes from another source as they are; the recorded end becomes one past the
    // last time they set. A write error cuts them off again and finishes the file, as append.
    void appendRaw(const std::uint8_t* data, std::size_t size);
    // Appends the seek index, then writes the data's size and the recorded end (the last
    // complete span's end) into the header; again, it does nothing. Throws std::system_error
    // naming the path.
    void finish();

    const std::string& path() const { return path_; }
    std::uint64_t endUs() const { return end_us_; }

private:
    // Cuts the file back to its complete spans and finishes it without an index, as far as the
    // disk lets it.
    void keepCompleteSpans() noexcept;
    // Writes the bytes after the data; on an error, keepCompleteSpans, then rethrows.
    void writeKeepingCompleteSpans(const std::uint8_t* data, std::size_t size);
    void writeHeaderFields();
    // Appends the index to the data, once.
    void writeIndex();

    std::string path_;
    int fd_ = -1;
    Evt3Encoder encoder_;
    std::vector<std::uint8_t> bytes_;
    std::uint64_t start_us_ = 0;
    std::optional<std::uint64_t> planned_end_us_;
    bool finished_ = false;
    std::uint64_t header_bytes_ = 0;
    std::uint64_t end_us_ = 0;
    std::uint64_t data_bytes_ = 0;
    std::uint64_t data_bytes_field_ = 0;
    std::uint64_t end_us_field_ = 0;
    RecordingIndexBuilder index_;
    bool index_written_ = false;
    std::uint64_t records_until_ = 0;
};

// Opening a raw EVT3 file rather than a recording.
struct RawEvt3File {};

// Opens a recording file: its header, and its data as bytes. Not thread-safe.
class RecordingReader {
public:
    // Throws std::system_error naming the path when the file cannot be read, and
    // std::invalid_argument naming it for a file that is not a recording, one of a newer format
    // version, or a malformed header.
    explicit RecordingReader(const std::string& path);
    // A raw EVT3 file, with or without a text header ("% " lines, RawFileHeader.h) before its
    // data: the format from the header and raw_format together, the description from the
    // header's serial, product and manufacturer lines, no settings, version 0, and start_us where
    // the data's first TIME_HIGH puts it. Throws as the other constructor does, and
    // std::invalid_argument naming the path for a format missing or contradicted, or data that
    // is not EVT3 (Evt3StartCheck).
    RecordingReader(const std::string& path, const std::optional<RawFormat>& raw_format, RawEvt3File);
    ~RecordingReader();
    RecordingReader(const RecordingReader&) = delete;
    RecordingReader& operator=(const RecordingReader&) = delete;

    const std::string& path() const { return path_; }
    const RecordingHeader& header() const { return header_; }
    // The file was cut short: its writer never finished it, or it ends before its data did.
    bool truncated() const { return truncated_; }
    // Bytes of complete words of data.
    std::uint64_t dataBytes() const { return data_bytes_; }
    // The sensor time the recording reaches: the header's end, or for a recording cut short
    // (never finished, or shorter than its header says) one past the last time its data sets.
    std::uint64_t endUs() const { return end_us_; }

    // Copies the next bytes of data, up to size of them, to out; returns how many, 0 at the end.
    std::size_t read(std::uint8_t* out, std::size_t size);
    void rewind() { offset_ = 0; }
    // The next read starts offset bytes into the data.
    void seekData(std::uint64_t offset) { offset_ = std::min(offset, data_bytes_); }
    // Copies bytes of data at offset to out, up to size of them and without moving the next
    // read; returns how many.
    std::size_t readAt(std::uint64_t offset, std::uint8_t* out, std::size_t size) const;

private:
    std::uint64_t lastTimeInData();

    std::string path_;
    int fd_ = -1;
    RecordingHeader header_;
    std::uint64_t header_bytes_ = 0;
    std::uint64_t data_bytes_ = 0;
    std::uint64_t offset_ = 0;
    std::uint64_t end_us_ = 0;
    bool truncated_ = false;
    bool shrank_ = false;
};

// A recording read back through the camera's reading interface: the records the camera
// delivered, with their time stamps, from the recording's start to its end. Reads are
// serialised by the object's own lock, so a stream's thread may read its slices.
class RecordingPlayback : public SliceSource {
public:
    // Throws as RecordingReader does, and std::invalid_argument for a format other than EVT3.
    explicit RecordingPlayback(const std::string& path);
    // A raw EVT3 file, as RecordingReader opens one.
    RecordingPlayback(const std::string& path, const std::optional<RawFormat>& raw_format);

    const RecordingReader& file() const { return file_; }
    std::uint64_t positionUs() const override;

    // As the camera reads: the records of the next duration_us of recorded time, the
    // position moving on by exactly that span; past the end nothing is appended. Throws
    // std::invalid_argument for a span longer than SliceSource::kMaxReadSpanUs.
    void read(std::uint64_t duration_us, std::vector<Event2D>& events, std::vector<TriggerEvent>& triggers);
    // As read, into buffers whose memory can be handed on whole; each record is written once.
    void read(std::uint64_t duration_us, RecordBuffer<Event2D>& events, RecordBuffer<TriggerEvent>& triggers);
    // As read, false once the position has reached the recording's end.
    bool readSlice(std::uint64_t duration_us, std::vector<Event2D>& events,
                   std::vector<TriggerEvent>& triggers) override;
    // The next n events at most (fewer at the end); the position moves to the last one, and the
    // trigger edges before it are not reported by any later read.
    std::size_t readEvents(Event2D* out, std::size_t n);
    // read's records of the span as EVT3 bytes that decode on their own; a decoder fed every
    // call's bytes in order, from the first, gets exactly read's records.
    void readRaw(std::uint64_t duration_us, std::vector<std::uint8_t>& out);
    // Moves the position to t_us: the next read starts with the first record at or after it,
    // and gives what it would after reading through to t_us; readRaw's bytes begin a stream of
    // their own again. Looks the place up in the index at
    // the end of the data, or in one built by reading the data through on the first seek and
    // kept; then decodes at most an index step of data.
    void seek(std::uint64_t t_us);

private:
    // The index, found or built on first use.
    const RecordingIndex& index();

    // Decoded records not delivered yet, in storage[begin, end). The storage is kept from read
    // to read, so that decoding touches memory already in use.
    template <typename Record>
    struct Decoded {
        std::vector<Record> storage;
        std::size_t begin = 0;
        std::size_t end = 0;

        std::size_t count() const { return end - begin; }
        // Room for `more` records past end, the undelivered ones moved to the front first.
        Record* roomFor(std::size_t more);
        // Moves the records before end_us to out.
        template <typename Output>
        void takeBefore(std::uint64_t end_us, Output& out);
        void dropBefore(std::uint64_t end_us);
        // Moves records[first, size) at or past end_us behind the undelivered ones.
        template <typename Output>
        void keepFrom(std::uint64_t end_us, Output& records, std::size_t first);
    };

    // Events and Triggers: a std::vector or a RecordBuffer of the records.
    template <typename Events, typename Triggers>
    void readLocked(std::uint64_t duration_us, Events& events, Triggers& triggers);
    bool decodedThrough(std::uint64_t time_us) const;
    // Reads up to bytes of the file into chunk_; 0 at its end, which marks the file done.
    std::size_t readPiece(std::size_t bytes);
    // Decodes the next piece of the file into events_ and triggers_; false at the end.
    bool decodeMore();
    // Bytes of the file likely to take the decoder to end_us, at most a whole chunk.
    std::size_t pieceReaching(std::uint64_t end_us) const;
    // Decodes the next piece of the file onto the end of events and triggers, keeping its records
    // at or past end_us in events_ and triggers_; only while those are empty, so that order holds.
    template <typename Events, typename Triggers>
    void decodeInto(std::uint64_t end_us, Events& events, Triggers& triggers);

    mutable std::mutex mutex_;
    RecordingReader file_;
    Evt3Decoder decoder_;
    Evt3Encoder encoder_;
    std::vector<std::uint8_t> chunk_;
    Decoded<Event2D> events_;
    Decoded<TriggerEvent> triggers_;
    std::vector<Event2D> raw_events_;
    std::vector<TriggerEvent> raw_triggers_;
    std::uint64_t position_us_ = 0;
    std::uint64_t decoded_events_ = 0;
    std::uint64_t bytes_decoded_ = 0;
    bool file_done_ = false;
    std::optional<RecordingIndex> index_;
};

// A recording file, or a raw EVT3 file when it does not begin as a recording does: with a text
// header, or headerless with raw_format given. raw_format given for a recording must agree with
// the format it names. Throws as the playbacks' constructors do.
std::shared_ptr<RecordingPlayback> openPlayback(const std::string& path,
                                                const std::optional<RawFormat>& raw_format);

}  // namespace velmo

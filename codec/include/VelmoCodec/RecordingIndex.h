#pragma once

#include <VelmoCodec/Evt3Decoder.h>
#include <VelmoCodec/Evt3StreamScan.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

// A recording's index: points of its data where decoding can start, each with the time there,
// its byte offset in the data and the decoder's state there (the time base with its wraps, the
// row, the vector base), at least one per kStepUs of sensor time the data covers.
//
// A finished recording carries its index at the end of its data, written as EVT3 words of the
// OTHERS type, which every decoder skips: so the data still decodes to exactly its records,
// by readers that know nothing of the index too, and an index cut short by a crash is harmless.
// The words carry 12 bits each, least significant first:
//
//   per entry, in time order: offset (6 words), time (6 words), state (3 words: y in bits 0..10,
//                              the vector base in bits 11..27, its polarity in bit 28, timed in 29)
//   then the entry count (6 words), then the 4 words of kIndexMagic.
namespace velmo {

struct RecordingIndexEntry {
    std::uint64_t offset = 0;  // bytes into the data, at a word boundary
    Evt3StreamState state;     // state.time is the time there
};

// Builds an index from the data as it is written or read, chunk after chunk.
class RecordingIndexBuilder {
public:
    static constexpr std::uint64_t kStepUs = 5'000;

    void follow(const std::uint8_t* data, std::size_t size);
    const std::vector<RecordingIndexEntry>& entries() const { return entries_; }
    const Evt3StateTracker& tracker() const { return tracker_; }
    // The index as words to append to the data.
    std::vector<std::uint8_t> encoded() const;

private:
    Evt3StateTracker tracker_;
    std::vector<RecordingIndexEntry> entries_;
};

// An index to look up: the one at the end of a recording's data, read entry by entry from the
// file, or one held in memory.
class RecordingIndex {
public:
    // Reads size bytes of the data at offset into out, returning how many there were.
    using DataReader = std::function<std::size_t(std::uint64_t offset, std::uint8_t* out, std::size_t size)>;

    explicit RecordingIndex(std::vector<RecordingIndexEntry> entries) : entries_(std::move(entries)) {}
    // The index at the end of data_bytes of data; false when the data does not end with one.
    static bool readTrailer(const DataReader& read, std::uint64_t data_bytes, RecordingIndex& out);
    // Builds the index by reading the data through once.
    static RecordingIndex scan(const DataReader& read, std::uint64_t data_bytes);

    // Where to start decoding to get every record at or after t_us: the last point before t_us,
    // or the data's start. O(log n) reads of the file. Throws std::invalid_argument for an entry
    // of the file that is not one.
    RecordingIndexEntry startFor(std::uint64_t t_us) const;
    std::size_t size() const { return in_file_ ? count_ : entries_.size(); }

private:
    RecordingIndex() = default;
    RecordingIndexEntry entry(std::size_t i) const;

    std::vector<RecordingIndexEntry> entries_;
    bool in_file_ = false;
    DataReader read_;
    std::uint64_t first_ = 0;
    std::size_t count_ = 0;
};

}  // namespace velmo

#include <VelmoCodec/Evt3Words.h>
#include <VelmoCodec/RecordingIndex.h>

#include <stdexcept>
#include <utility>

namespace velmo {

namespace {

constexpr std::size_t kWordsPerNumber = 6;
constexpr std::size_t kWordsPerState = 3;
constexpr std::size_t kWordsPerEntry = 2 * kWordsPerNumber + kWordsPerState;
constexpr std::size_t kEntryBytes = 2 * kWordsPerEntry;
constexpr std::uint16_t kIndexMagic[] = {0x56E, 0x1D0, 0x1DE, 0x801};
constexpr std::size_t kMagicWords = sizeof kIndexMagic / sizeof kIndexMagic[0];
constexpr std::size_t kFooterBytes = 2 * (kWordsPerNumber + kMagicWords);
constexpr std::size_t kScanChunkBytes = std::size_t{1} << 20;

constexpr unsigned kVectorXShift = 11;
constexpr unsigned kPolarityShift = 28;
constexpr unsigned kTimedShift = 29;
constexpr std::uint64_t kVectorXMask = (std::uint64_t{1} << 17) - 1;

void putNumber(std::vector<std::uint8_t>& out, std::uint64_t value, std::size_t words) {
    for (std::size_t i = 0; i < words; ++i) {
        const std::uint16_t word = evt3::word(evt3::WordType::Others, static_cast<std::uint16_t>(value & evt3::kPayloadMask));
        out.push_back(static_cast<std::uint8_t>(word));
        out.push_back(static_cast<std::uint8_t>(word >> 8));
        value >>= evt3::kTimeHalfBits;
    }
}

// The number the words at bytes hold; false when one of them is not an OTHERS word.
bool takeNumber(const std::uint8_t*& bytes, std::size_t words, std::uint64_t& value) {
    value = 0;
    for (std::size_t i = 0; i < words; ++i) {
        const auto word = static_cast<std::uint16_t>(bytes[0] | (bytes[1] << 8));
        bytes += 2;
        if ((word >> evt3::kTypeShift) != static_cast<unsigned>(evt3::WordType::Others)) return false;
        value |= static_cast<std::uint64_t>(word & evt3::kPayloadMask) << (evt3::kTimeHalfBits * i);
    }
    return true;
}

std::uint64_t packedState(const Evt3StreamState& state) {
    return std::uint64_t{state.y} | (std::uint64_t{state.vector_x} << kVectorXShift) |
           (std::uint64_t{state.vector_polarity} << kPolarityShift) | (std::uint64_t{state.timed} << kTimedShift);
}

Evt3StreamState unpackedState(std::uint64_t packed, std::uint64_t time) {
    Evt3StreamState state;
    state.time = time;
    state.y = static_cast<std::uint32_t>(packed & evt3::kAddressMask);
    state.vector_x = static_cast<std::uint32_t>((packed >> kVectorXShift) & kVectorXMask);
    state.vector_polarity = static_cast<std::uint32_t>((packed >> kPolarityShift) & 1);
    state.timed = ((packed >> kTimedShift) & 1) != 0;
    return state;
}

[[noreturn]] void refuseEntry(std::size_t i) {
    throw std::invalid_argument("the recording's index entry " + std::to_string(i) + " is damaged");
}

}  // namespace

void RecordingIndexBuilder::follow(const std::uint8_t* data, std::size_t size) {
    tracker_.follow(data, size, [this](std::uint64_t offset, const Evt3StreamState& state) {
        if (!state.timed) return;
        if (entries_.empty() || state.time >= entries_.back().state.time + kStepUs)
            entries_.push_back(RecordingIndexEntry{offset, state});
    });
}

std::vector<std::uint8_t> RecordingIndexBuilder::encoded() const {
    std::vector<std::uint8_t> out;
    out.reserve(entries_.size() * kEntryBytes + kFooterBytes);
    for (const RecordingIndexEntry& entry : entries_) {
        putNumber(out, entry.offset, kWordsPerNumber);
        putNumber(out, entry.state.time, kWordsPerNumber);
        putNumber(out, packedState(entry.state), kWordsPerState);
    }
    putNumber(out, entries_.size(), kWordsPerNumber);
    for (const std::uint16_t magic : kIndexMagic) putNumber(out, magic, 1);
    return out;
}

bool RecordingIndex::readTrailer(const DataReader& read, std::uint64_t data_bytes, RecordingIndex& out) {
    if (data_bytes < kFooterBytes || data_bytes % 2 != 0) return false;
    std::uint8_t footer[kFooterBytes];
    if (read(data_bytes - kFooterBytes, footer, kFooterBytes) != kFooterBytes) return false;
    const std::uint8_t* at = footer;
    std::uint64_t count = 0;
    if (!takeNumber(at, kWordsPerNumber, count)) return false;
    for (const std::uint16_t magic : kIndexMagic) {
        std::uint64_t word = 0;
        if (!takeNumber(at, 1, word) || word != magic) return false;
    }
    const std::uint64_t entry_bytes = data_bytes - kFooterBytes;
    if (count > entry_bytes / kEntryBytes) return false;
    RecordingIndex index;
    index.in_file_ = true;
    index.read_ = read;
    index.count_ = static_cast<std::size_t>(count);
    index.first_ = entry_bytes - count * kEntryBytes;
    // Every entry points into the data before the index.
    if (count > 0 && index.entry(index.count_ - 1).offset > index.first_) return false;
    out = std::move(index);
    return true;
}

RecordingIndex RecordingIndex::scan(const DataReader& read, std::uint64_t data_bytes) {
    RecordingIndexBuilder builder;
    std::vector<std::uint8_t> chunk(kScanChunkBytes);
    for (std::uint64_t offset = 0; offset < data_bytes;) {
        const std::size_t got = read(offset, chunk.data(), static_cast<std::size_t>(std::min<std::uint64_t>(chunk.size(), data_bytes - offset)));
        if (got == 0) break;
        builder.follow(chunk.data(), got);
        offset += got;
    }
    return RecordingIndex(builder.entries());
}

RecordingIndexEntry RecordingIndex::entry(std::size_t i) const {
    if (!in_file_) return entries_[i];
    std::uint8_t bytes[kEntryBytes];
    if (read_(first_ + i * kEntryBytes, bytes, kEntryBytes) != kEntryBytes) refuseEntry(i);
    const std::uint8_t* at = bytes;
    std::uint64_t offset = 0;
    std::uint64_t time = 0;
    std::uint64_t packed = 0;
    if (!takeNumber(at, kWordsPerNumber, offset) || !takeNumber(at, kWordsPerNumber, time) ||
        !takeNumber(at, kWordsPerState, packed) || offset % 2 != 0 || offset > first_)
        refuseEntry(i);
    return RecordingIndexEntry{offset, unpackedState(packed, time)};
}

RecordingIndexEntry RecordingIndex::startFor(std::uint64_t t_us) const {
    // The first entry at or after t_us; the one before it is the start.
    std::size_t low = 0;
    std::size_t high = size();
    while (low < high) {
        const std::size_t middle = low + (high - low) / 2;
        if (entry(middle).state.time < t_us) {
            low = middle + 1;
        } else {
            high = middle;
        }
    }
    return low == 0 ? RecordingIndexEntry{} : entry(low - 1);
}

}  // namespace velmo

#pragma once

#include <VelmoCodec/RawFormat.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace velmo {

// The text header that raw EVT3 files written by other programs commonly begin with: lines
// "% KEY VALUE" (for example "% format EVT3;height=720;width=1280"), the last one "% end".
struct RawFileHeader {
    std::vector<std::pair<std::string, std::string>> fields;

    // The value of the first line with this key.
    std::optional<std::string> field(const std::string& key) const;
};

// Finds such a header at the start of a stream fed chunk after chunk, however the chunks cut
// it, and passes on only the bytes after it. A stream whose first two bytes are not "% " has no
// header; a header ends with its "% end" line, or before the first line that does not start with
// "% ". Not thread-safe.
class RawHeaderFilter {
public:
    static constexpr std::size_t kMaxHeaderBytes = 64 * 1024;

    struct Bytes {
        const std::uint8_t* data;
        std::size_t size;
    };

    // The stream's data among its next bytes: none while a header is read, all once the start
    // is decided. The view is valid until the next call. Throws std::invalid_argument for a
    // header longer than kMaxHeaderBytes.
    Bytes data(const std::uint8_t* bytes, std::size_t size);

    // Whether the data has begun: a header was read whole, or there is none.
    bool decided() const { return state_ == State::Data; }
    // The header once read whole; none for a stream without one.
    const std::optional<RawFileHeader>& header() const { return header_; }
    // The stream's bytes that the header took.
    std::size_t headerBytes() const { return taken_; }

private:
    enum class State { LineStart, InLine, Data };

    // Ends the header (or its absence) with the pending bytes of a line that is not the header's.
    void startData();

    State state_ = State::LineStart;
    std::string line_;
    std::vector<std::pair<std::string, std::string>> fields_;
    bool in_header_ = false;
    std::optional<RawFileHeader> header_;
    std::size_t taken_ = 0;
    std::vector<std::uint8_t> joined_;
};

// The format of a stream that a header may describe and a caller may have given, as text: the
// two together, a width or height that only one of them sets taken from it. Throws
// std::invalid_argument when neither gives one, when the header's is malformed, or when the two
// disagree on the encoding, the width or the height.
std::string rawFormatOf(const std::optional<RawFileHeader>& header, const std::optional<RawFormat>& given);

}  // namespace velmo

#include <VelmoCodec/QuotedText.h>
#include <VelmoCodec/RawFileHeader.h>

#include <stdexcept>

namespace velmo {

namespace {

constexpr char kLinePrefix[] = "% ";
constexpr std::size_t kLinePrefixBytes = sizeof kLinePrefix - 1;
constexpr char kEndKey[] = "end";
constexpr char kFormatKey[] = "format";

}  // namespace

std::optional<std::string> RawFileHeader::field(const std::string& key) const {
    for (const auto& [name, value] : fields)
        if (name == key) return value;
    return std::nullopt;
}

void RawHeaderFilter::startData() {
    state_ = State::Data;
    if (in_header_) header_ = RawFileHeader{std::move(fields_)};
}

RawHeaderFilter::Bytes RawHeaderFilter::data(const std::uint8_t* bytes, std::size_t size) {
    if (state_ == State::Data) return {bytes, size};
    // Where the current line began in this chunk; before it when it began in an earlier one.
    std::size_t line_begin = 0;
    bool line_in_chunk = state_ == State::LineStart && line_.empty();
    std::size_t i = 0;
    while (i < size) {
        const std::uint8_t byte = bytes[i++];
        if (state_ == State::LineStart) {
            line_.push_back(static_cast<char>(byte));
            if (line_.size() < kLinePrefixBytes && byte == static_cast<std::uint8_t>(kLinePrefix[0])) continue;
            if (line_ == kLinePrefix) {
                state_ = State::InLine;
                in_header_ = true;
                taken_ += kLinePrefixBytes;
                continue;
            }
            // Not a header line: its bytes begin the data.
            startData();
            if (line_in_chunk) return {bytes + line_begin, size - line_begin};
            joined_.assign(line_.begin(), line_.end());
            joined_.insert(joined_.end(), bytes + i, bytes + size);
            line_.clear();
            return {joined_.data(), joined_.size()};
        }
        if (++taken_ > kMaxHeaderBytes)
            throw std::invalid_argument("the stream's text header (lines starting with \"% \") runs past " +
                                        std::to_string(kMaxHeaderBytes) + " bytes without a \"% end\" line");
        if (byte != '\n') {
            line_.push_back(static_cast<char>(byte));
            continue;
        }
        std::string text = line_.substr(kLinePrefixBytes);
        if (!text.empty() && text.back() == '\r') text.pop_back();
        line_.clear();
        const std::size_t space = text.find(' ');
        std::string key = text.substr(0, space);
        if (key == kEndKey) {
            startData();
            return {bytes + i, size - i};
        }
        fields_.emplace_back(std::move(key), space == std::string::npos ? std::string() : text.substr(space + 1));
        state_ = State::LineStart;
        line_begin = i;
        line_in_chunk = true;
    }
    return {bytes + size, 0};
}

std::string rawFormatOf(const std::optional<RawFileHeader>& header, const std::optional<RawFormat>& given) {
    const std::optional<std::string> text = header ? header->field(kFormatKey) : std::nullopt;
    if (!text) {
        if (given) return given->text();
        throw std::invalid_argument("no raw format: the data has no \"% format\" header line, and none was given");
    }
    std::optional<RawFormat> described;
    try {
        described.emplace(*text);
    } catch (const std::invalid_argument& error) {
        throw std::invalid_argument("the header's format line " + quotedForMessage(*text) + ": " + error.what());
    }
    if (!given) return described->text();
    if (described->encoding() != given->encoding())
        throw std::invalid_argument("the header's format " + quotedForMessage(*text) + " is not the given encoding " +
                                    quotedForMessage(given->encoding()));
    return RawFormat::of(given->encoding(), [&](const std::string& option) -> std::optional<std::string> {
               const bool in_header = described->contains(option);
               const bool in_given = given->contains(option);
               if (in_header && in_given && (*described)[option] != (*given)[option])
                   throw std::invalid_argument("the header's format " + quotedForMessage(*text) + " gives " + option +
                                               " " + (*described)[option] + ", the given format " + (*given)[option]);
               if (!in_header && !in_given) return std::nullopt;
               return (in_given ? *given : *described)[option];
           })
        .text();
}

}  // namespace velmo

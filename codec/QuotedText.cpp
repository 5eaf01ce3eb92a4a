#include <VelmoCodec/QuotedText.h>

#include <cstddef>

namespace velmo {

namespace {

// The length of the well-formed UTF-8 sequence that starts at text[at], or 0 when the bytes
// there are none. Well-formed as a strict decoder (Python's included) demands: no overlong
// forms, no surrogates, nothing above U+10FFFF.
std::size_t utf8SequenceLength(std::string_view text, std::size_t at) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(at);
    if (lead < 0x80) return 1;
    std::size_t length = 0;
    unsigned char second_min = 0x80;
    unsigned char second_max = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        if (lead == 0xE0) second_min = 0xA0;
        if (lead == 0xED) second_max = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        if (lead == 0xF0) second_min = 0x90;
        if (lead == 0xF4) second_max = 0x8F;
    } else {
        return 0;
    }
    if (text.size() - at < length) return 0;
    if (byte(at + 1) < second_min || byte(at + 1) > second_max) return 0;
    for (std::size_t i = 2; i < length; ++i) {
        if ((byte(at + i) & 0xC0) != 0x80) return 0;
    }
    return length;
}

void appendByteEscape(std::string& out, unsigned char byte) {
    constexpr char kHexDigits[] = "0123456789abcdef";
    out += "\\x";
    out += kHexDigits[byte >> 4];
    out += kHexDigits[byte & 0xF];
}

}  // namespace

std::string quotedForMessage(std::string_view text) {
    std::string quoted = "\"";
    for (std::size_t at = 0; at < text.size();) {
        const auto byte = static_cast<unsigned char>(text[at]);
        if (byte == '"' || byte == '\\') {
            quoted += '\\';
            quoted += static_cast<char>(byte);
            ++at;
            continue;
        }
        const std::size_t length = byte < 0x20 || byte == 0x7F ? 0 : utf8SequenceLength(text, at);
        if (length == 0) {
            appendByteEscape(quoted, byte);
            ++at;
            continue;
        }
        quoted.append(text, at, length);
        at += length;
    }
    quoted += '"';
    return quoted;
}

}  // namespace velmo

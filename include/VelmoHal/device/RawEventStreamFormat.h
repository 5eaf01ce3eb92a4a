#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <type_traits>

namespace velmo {

enum class RawEventStreamEncodingType : std::int32_t {
    EVT3 = 0,
    UNKNOWN = -1,
};

static_assert(std::is_same_v<std::underlying_type_t<RawEventStreamEncodingType>, std::int32_t>);

// A raw event stream format read from a text "ENCODING;name=value;name=value", for example
// "EVT3;height=720;width=1280". An encoding other than EVT3 is kept by name as UNKNOWN.
// Malformed text (an empty encoding or option name, a pair without '=', a repeated name, a
// width or height that is not a number from 1 to 65535) throws std::invalid_argument.
class RawEventStreamFormat {
public:
    explicit RawEventStreamFormat(std::string format);
    ~RawEventStreamFormat() = default;

    RawEventStreamEncodingType getEncodingType() const;
    // The encoding as written in the format text ("EVT3", or the unknown encoding's own name).
    std::string getEncodingTypeStr() const;
    bool contains(const std::string& name) const;
    // Throws std::out_of_range, naming the option, when the format does not hold it.
    const std::string& operator[](std::string_view name) const;

    // The sensor geometry from the "width" and "height" options; 0 when the format lacks one.
    std::uint16_t width() const { return width_; }
    std::uint16_t height() const { return height_; }

private:
    std::string encoding_name_;
    std::map<std::string, std::string> options_;
    RawEventStreamEncodingType encoding_ = RawEventStreamEncodingType::UNKNOWN;
    std::uint16_t width_ = 0;
    std::uint16_t height_ = 0;
};

static_assert(sizeof(RawEventStreamFormat) ==
              sizeof(std::string) + sizeof(std::map<std::string, std::string>) + 8);

}  // namespace velmo

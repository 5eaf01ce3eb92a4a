#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>

namespace velmo {

// A raw stream's format text parsed: "ENCODING;name=value;...", the options' names unique and
// the sensor's "width" and "height", where given, integers from 1 to 65535.
class RawFormat {
public:
    static constexpr std::string_view kEvt3 = "EVT3";

    // Throws std::invalid_argument quoting the text and saying what is wrong with it.
    explicit RawFormat(std::string text);

    const std::string& encoding() const { return encoding_; }
    bool isEvt3() const { return encoding_ == kEvt3; }
    const std::map<std::string, std::string>& options() const { return options_; }
    bool contains(const std::string& name) const { return options_.count(name) != 0; }
    // Throws std::out_of_range, naming the option, when the format does not hold it.
    const std::string& operator[](std::string_view name) const;
    // 0 when the format does not give it.
    std::uint16_t width() const { return width_; }
    std::uint16_t height() const { return height_; }

    // The encoding, then the height and the width where the format gives them: what a codec
    // needs of a format, and what recordings store.
    std::string text() const;

private:
    std::string encoding_;
    std::map<std::string, std::string> options_;
    std::uint16_t width_ = 0;
    std::uint16_t height_ = 0;
};

}  // namespace velmo

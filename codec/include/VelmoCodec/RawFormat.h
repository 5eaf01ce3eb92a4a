#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

namespace velmo {

// A raw stream's format text parsed: "ENCODING;name=value;...", the options' names unique and
// the sensor's "width" and "height", where given, integers from 1 to 65535.
class RawFormat {
public:
    static constexpr std::string_view kEvt3 = "EVT3";
    // The options a codec takes from a format, in the order text() gives them.
    static constexpr std::array<std::string_view, 2> kSensorOptions{"height", "width"};

    // Throws std::invalid_argument quoting the text and saying what is wrong with it.
    explicit RawFormat(std::string text);

    // The codec's view of another format object (a device library's, say): its encoding, and
    // each of kSensorOptions that option(name) gives as a std::optional<std::string>. Throws as
    // the constructor does.
    template <typename Option>
    static RawFormat of(std::string encoding, Option&& option) {
        return RawFormat(textOf(std::move(encoding), option));
    }

    const std::string& encoding() const { return encoding_; }
    bool isEvt3() const { return encoding_ == kEvt3; }
    const std::map<std::string, std::string>& options() const { return options_; }
    bool contains(const std::string& name) const { return options_.count(name) != 0; }
    // Throws std::out_of_range, naming the option, when the format does not hold it.
    const std::string& operator[](std::string_view name) const;
    // 0 when the format does not give it.
    std::uint16_t width() const { return width_; }
    std::uint16_t height() const { return height_; }

    // The encoding, then kSensorOptions where the format gives them: what a codec needs of a
    // format, and what recordings store.
    std::string text() const;

private:
    template <typename Option>
    static std::string textOf(std::string encoding, Option&& option) {
        for (const std::string_view name : kSensorOptions)
            if (std::optional<std::string> value = option(std::string(name)))
                encoding += ";" + std::string(name) + "=" + *value;
        return encoding;
    }

    std::string encoding_;
    std::map<std::string, std::string> options_;
    std::uint16_t width_ = 0;
    std::uint16_t height_ = 0;
};

}  // namespace velmo

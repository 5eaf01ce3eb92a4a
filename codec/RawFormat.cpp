#include <VelmoCodec/QuotedText.h>
#include <VelmoCodec/RawFormat.h>

#include <cstddef>
#include <stdexcept>

namespace velmo {

namespace {

[[noreturn]] void reject(const std::string& format, const std::string& reason) {
    throw std::invalid_argument("invalid raw event stream format " + quotedForMessage(format) + ": " + reason);
}

// Only plain decimal digits: no sign, blank or other decoration, as the format text is exact.
std::uint16_t sensorDimension(const std::string& format, const std::string& name, const std::string& value,
                              std::size_t position) {
    const std::string where = "option " + quotedForMessage(name) + " at character " + std::to_string(position);
    if (value.empty()) reject(format, where + " is empty; expected an integer from 1 to 65535");
    std::uint32_t number = 0;
    for (const char c : value) {
        if (c < '0' || c > '9')
            reject(format, where + " is " + quotedForMessage(value) + "; expected an integer from 1 to 65535");
        number = number * 10 + static_cast<std::uint32_t>(c - '0');
        if (number > 65535)
            reject(format, where + " is " + quotedForMessage(value) + "; expected an integer from 1 to 65535");
    }
    if (number == 0) reject(format, where + " is " + quotedForMessage(value) + "; expected an integer from 1 to 65535");
    return static_cast<std::uint16_t>(number);
}

}  // namespace

RawFormat::RawFormat(std::string format) {
    if (format.empty()) reject(format, "the text is empty");
    std::size_t field_start = 0;
    for (std::size_t field_index = 0;; ++field_index) {
        const std::size_t separator = format.find(';', field_start);
        const std::size_t field_end = separator == std::string::npos ? format.size() : separator;
        const std::string field = format.substr(field_start, field_end - field_start);
        if (field_index == 0) {
            if (field.empty()) reject(format, "the encoding name (before the first ';') is empty");
            encoding_ = field;
        } else {
            const std::string where = "option " + std::to_string(field_index) + " at character " +
                                      std::to_string(field_start);
            const std::size_t equals = field.find('=');
            if (equals == std::string::npos) reject(format, where + " (" + quotedForMessage(field) + ") has no '='");
            if (equals == 0) reject(format, where + " (" + quotedForMessage(field) + ") has an empty name");
            std::string name = field.substr(0, equals);
            std::string value = field.substr(equals + 1);
            if (options_.count(name) != 0) reject(format, where + " repeats the name " + quotedForMessage(name));
            if (name == "width") width_ = sensorDimension(format, name, value, field_start);
            if (name == "height") height_ = sensorDimension(format, name, value, field_start);
            options_.emplace(std::move(name), std::move(value));
        }
        if (separator == std::string::npos) break;
        field_start = separator + 1;
    }
}

const std::string& RawFormat::operator[](std::string_view name) const {
    const auto found = options_.find(std::string(name));
    if (found == options_.end())
        throw std::out_of_range("raw event stream format has no option " + quotedForMessage(name));
    return found->second;
}

std::string RawFormat::text() const {
    return textOf(encoding_, [this](const std::string& name) {
        return contains(name) ? std::optional<std::string>(options_.at(name)) : std::nullopt;
    });
}

}  // namespace velmo

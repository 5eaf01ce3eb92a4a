#include <VelmoCodec/QuotedText.h>
#include <VelmoCodec/RawFormat.h>
#include <VelmoHal/device/RawEventStreamFormat.h>

#include <stdexcept>
#include <utility>

namespace velmo {

// The stand-in parses formats as the codec does, so that both accept and refuse the same texts.
RawEventStreamFormat::RawEventStreamFormat(std::string format) {
    RawFormat parsed(std::move(format));
    encoding_name_ = parsed.encoding();
    options_ = parsed.options();
    width_ = parsed.width();
    height_ = parsed.height();
    encoding_ = parsed.isEvt3() ? RawEventStreamEncodingType::EVT3 : RawEventStreamEncodingType::UNKNOWN;
}

RawEventStreamEncodingType RawEventStreamFormat::getEncodingType() const { return encoding_; }

std::string RawEventStreamFormat::getEncodingTypeStr() const { return encoding_name_; }

bool RawEventStreamFormat::contains(const std::string& name) const { return options_.count(name) != 0; }

const std::string& RawEventStreamFormat::operator[](std::string_view name) const {
    const auto found = options_.find(std::string(name));
    if (found == options_.end())
        throw std::out_of_range("raw event stream format has no option " + quotedForMessage(name));
    return found->second;
}

}  // namespace velmo

#include <VelmoHal/device/Evt3Encoder.h>
#include <VelmoHal/device/Evt3Words.h>

#include <stdexcept>
#include <string>

namespace velmo {

namespace {

using evt3::WordType;

// Steps of TIME_HIGH between two TIME_HIGH words at most: half a wrap period.
constexpr std::uint64_t kMarkSteps = 2048;
constexpr std::uint32_t kVect12Columns = 12;
constexpr std::uint32_t kVect8Columns = 8;
// Words one record can cost at most: TIME_HIGH, TIME_LOW, then ADDR_Y and ADDR_X for an event
// (a vector costs less per event) or EXT_TRIGGER for an edge.
constexpr std::size_t kMaxWordsPerRecord = 4;

[[noreturn]] void refuse(const char* what, std::size_t index, const std::string& reason) {
    throw std::invalid_argument(std::string(what) + " " + std::to_string(index) + " cannot be encoded: " + reason);
}

template <typename Record>
void checkTime(const char* what, const Record* records, std::size_t count, std::uint64_t from, std::uint64_t to) {
    std::uint64_t previous = from;
    for (std::size_t i = 0; i < count; ++i) {
        const std::uint64_t t = records[i].timestamp;
        if (t < previous)
            refuse(what, i, "its time stamp " + std::to_string(t) + " comes before " + std::to_string(previous));
        if (t > to)
            refuse(what, i, "its time stamp " + std::to_string(t) + " is after the span's end " + std::to_string(to));
        previous = t;
    }
}

std::uint16_t polarityBit(std::uint32_t polarity) {
    return static_cast<std::uint16_t>(polarity << evt3::kPolarityBit);
}

}  // namespace

void Evt3Encoder::startChunk() {
    high_written_ = false;
    low_written_ = false;
    row_written_ = false;
}

void Evt3Encoder::validate(const Event2D* events, std::size_t event_count, const TriggerEvent* triggers,
                           std::size_t trigger_count, std::uint64_t span_end_us) const {
    if (span_end_us < encoded_until_)
        throw std::invalid_argument("the span's end " + std::to_string(span_end_us) +
                                    " comes before the end of the previous span " + std::to_string(encoded_until_));
    checkTime("event", events, event_count, encoded_until_, span_end_us);
    checkTime("trigger edge", triggers, trigger_count, encoded_until_, span_end_us);
    for (std::size_t i = 0; i < event_count; ++i) {
        const Event2D& event = events[i];
        if (event.x >= evt3::kAddressRange || event.y >= evt3::kAddressRange)
            refuse("event", i, "(" + std::to_string(event.x) + ", " + std::to_string(event.y) + ") is beyond 11 bits");
        if (event.polarity > 1) refuse("event", i, "its polarity is " + std::to_string(event.polarity));
    }
    for (std::size_t i = 0; i < trigger_count; ++i) {
        if (triggers[i].value > 1) refuse("trigger edge", i, "its value is " + std::to_string(triggers[i].value));
        if (triggers[i].channel > evt3::kMaxChannel)
            refuse("trigger edge", i, "its channel is " + std::to_string(triggers[i].channel));
    }
}

void Evt3Encoder::encode(const Event2D* events, std::size_t event_count, const TriggerEvent* triggers,
                         std::size_t trigger_count, std::uint64_t span_end_us, std::vector<std::uint8_t>& out) {
    validate(events, event_count, triggers, trigger_count, span_end_us);
    const std::uint64_t marks = ((span_end_us >> evt3::kTimeHalfBits) - high_) / kMarkSteps + 1;
    const std::size_t start = out.size();
    out.resize(start + 2 * (kMaxWordsPerRecord * (event_count + trigger_count) + marks));
    cursor_ = out.data() + start;
    std::size_t e = 0;
    std::size_t t = 0;
    while (e < event_count || t < trigger_count) {
        if (t < trigger_count && (e == event_count || triggers[t].timestamp < events[e].timestamp)) {
            const TriggerEvent& edge = triggers[t++];
            putTime(edge.timestamp);
            put(evt3::word(WordType::ExtTrigger, static_cast<std::uint16_t>((edge.channel << 8) | edge.value)));
            continue;
        }
        const std::size_t length = runLength(events + e, event_count - e);
        putTime(events[e].timestamp);
        putRow(events[e].y);
        putRun(events + e, length);
        e += length;
    }
    putTimeMarks(span_end_us >> evt3::kTimeHalfBits);
    out.resize(static_cast<std::size_t>(cursor_ - out.data()));
    cursor_ = nullptr;
    encoded_until_ = span_end_us;
}

// Events after the first with the same time, row and polarity and each a column further on.
std::size_t Evt3Encoder::runLength(const Event2D* events, std::size_t available) const {
    const Event2D& first = events[0];
    std::size_t length = 1;
    while (length < available && events[length].timestamp == first.timestamp && events[length].y == first.y &&
           events[length].polarity == first.polarity && events[length].x > events[length - 1].x) {
        ++length;
    }
    return length;
}

void Evt3Encoder::putRun(const Event2D* run, std::size_t length) {
    const std::uint16_t polarity = polarityBit(run[0].polarity);
    std::size_t i = 0;
    while (i < length) {
        std::uint32_t base = run[i].x;
        // A vector pays off from two events in its first twelve columns on.
        if (i + 1 == length || run[i + 1].x >= base + kVect12Columns) {
            put(evt3::word(WordType::AddrX, static_cast<std::uint16_t>(polarity | base)));
            ++i;
            continue;
        }
        put(evt3::word(WordType::VectBaseX, static_cast<std::uint16_t>(polarity | base)));
        while (i < length && run[i].x < base + kVect12Columns) {
            std::uint32_t mask = 0;
            for (; i < length && run[i].x < base + kVect12Columns; ++i) mask |= 1u << (run[i].x - base);
            // Nothing in the last four columns: VECT_8 moves the base on less, so the next
            // vector may start closer.
            if (mask >> kVect8Columns == 0) {
                put(evt3::word(WordType::Vect8, static_cast<std::uint16_t>(mask)));
                base += kVect8Columns;
            } else {
                put(evt3::word(WordType::Vect12, static_cast<std::uint16_t>(mask)));
                base += kVect12Columns;
            }
        }
    }
}

void Evt3Encoder::putTime(std::uint64_t timestamp) {
    const std::uint64_t high = timestamp >> evt3::kTimeHalfBits;
    putTimeMarks(high);
    if (!high_written_ || high != high_) {
        put(evt3::word(WordType::TimeHigh, static_cast<std::uint16_t>(high)));
        high_ = high;
        high_written_ = true;
    }
    const auto low = static_cast<std::uint32_t>(timestamp & evt3::kPayloadMask);
    if (!low_written_ || low != low_) {
        put(evt3::word(WordType::TimeLow, static_cast<std::uint16_t>(low)));
        low_ = low;
        low_written_ = true;
    }
}

void Evt3Encoder::putTimeMarks(std::uint64_t high) {
    while (high - high_ >= kMarkSteps) {
        high_ += kMarkSteps;
        put(evt3::word(WordType::TimeHigh, static_cast<std::uint16_t>(high_)));
        high_written_ = true;
    }
}

void Evt3Encoder::putRow(std::uint32_t y) {
    if (row_written_ && y == row_) return;
    put(evt3::word(WordType::AddrY, static_cast<std::uint16_t>(y)));
    row_ = y;
    row_written_ = true;
}

void Evt3Encoder::put(std::uint16_t word) {
    cursor_[0] = static_cast<std::uint8_t>(word & 0xFF);
    cursor_[1] = static_cast<std::uint8_t>(word >> 8);
    cursor_ += 2;
}

}  // namespace velmo

#include <VelmoCodec/Evt3Encoder.h>
#include <VelmoCodec/Evt3Words.h>

#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <string>

namespace velmo {

namespace {

using evt3::WordType;

// Steps of TIME_HIGH between two TIME_HIGH words at most: half a wrap period.
constexpr std::uint64_t kMarkSteps = 2048;
// Words one record can cost at most: TIME_HIGH, TIME_LOW, then ADDR_Y and ADDR_X for an event
// (a vector costs less per event) or EXT_TRIGGER for an edge.
constexpr std::size_t kMaxWordsPerRecord = 4;
// A row or low time no word carries: what the encoder holds when the next chunk must write them.
constexpr std::uint32_t kNotWritten = 0xFFFFFFFF;

[[noreturn]] void refuse(const char* what, std::size_t index, const std::string& reason) {
    throw std::invalid_argument(std::string(what) + " " + std::to_string(index) + " cannot be encoded: " + reason);
}

// Order first: a record out of order also makes the last one, which may end the span, too early.
template <typename Record>
void checkTime(const char* what, const Record* records, std::size_t count, std::uint64_t from, std::uint64_t to) {
    std::uint64_t previous = from;
    for (std::size_t i = 0; i < count; ++i) {
        const std::uint64_t t = records[i].timestamp;
        if (t < previous)
            refuse(what, i, "its time stamp " + std::to_string(t) + " comes before " + std::to_string(previous));
        previous = t;
    }
    for (std::size_t i = 0; i < count; ++i) {
        if (records[i].timestamp > to)
            refuse(what, i, "its time stamp " + std::to_string(records[i].timestamp) + " is after the span's end " +
                                std::to_string(to));
    }
}

// Whether every event can be encoded, in one pass without a branch per event; which one cannot
// is found only when one cannot.
bool eventsFit(const Event2D* events, std::size_t count, std::uint64_t from, std::uint64_t to, std::uint32_t width,
               std::uint32_t height) {
    bool fit = true;
    std::uint64_t previous = from;
    for (std::size_t i = 0; i < count; ++i) {
        const Event2D& event = events[i];
        fit &= (event.timestamp >= previous) & (event.timestamp <= to) & (event.x < width) & (event.y < height) &
               (event.polarity <= 1);
        previous = event.timestamp;
    }
    return fit;
}

std::uint16_t polarityBit(std::uint32_t polarity) {
    return static_cast<std::uint16_t>(polarity << evt3::kPolarityBit);
}

// Writes words straight into the output, little-endian as the targets are (Event2D.h checks it).
class WordWriter {
public:
    explicit WordWriter(std::uint8_t* at) : at_(at) {}

    void put(std::uint16_t word) {
        std::memcpy(at_, &word, sizeof word);
        at_ += sizeof word;
    }
    // Writes the word but moves on only if it is kept: the choice costs no branch, and the
    // next word overwrites one that is not.
    void putIf(std::uint16_t word, bool keep) {
        std::memcpy(at_, &word, sizeof word);
        at_ += keep ? sizeof word : 0;
    }
    std::uint8_t* at() const { return at_; }

private:
    std::uint8_t* at_;
};

// Events after the first with the same time, row and polarity and each a column further on.
std::size_t runLength(const Event2D* events, std::size_t available) {
    const Event2D& first = events[0];
    std::size_t length = 1;
    while (length < available && events[length].timestamp == first.timestamp && events[length].y == first.y &&
           events[length].polarity == first.polarity && events[length].x > events[length - 1].x) {
        ++length;
    }
    return length;
}

bool continuesRun(const Event2D& event, const Event2D& next) {
    return next.timestamp == event.timestamp && next.y == event.y && next.polarity == event.polarity &&
           next.x > event.x;
}

void putRun(const Event2D* run, std::size_t length, WordWriter& out) {
    const std::uint16_t polarity = polarityBit(run[0].polarity);
    std::size_t i = 0;
    while (i < length) {
        std::uint32_t base = run[i].x;
        // A vector pays off from two events in its first twelve columns on.
        if (i + 1 == length || run[i + 1].x >= base + evt3::kVect12Columns) {
            out.put(evt3::word(WordType::AddrX, static_cast<std::uint16_t>(polarity | base)));
            ++i;
            continue;
        }
        out.put(evt3::word(WordType::VectBaseX, static_cast<std::uint16_t>(polarity | base)));
        while (i < length && run[i].x < base + evt3::kVect12Columns) {
            std::uint32_t mask = 0;
            for (; i < length && run[i].x < base + evt3::kVect12Columns; ++i) mask |= 1u << (run[i].x - base);
            // Nothing in the last four columns: VECT_8 moves the base on less, so the next
            // vector may start closer.
            if (mask >> evt3::kVect8Columns == 0) {
                out.put(evt3::word(WordType::Vect8, static_cast<std::uint16_t>(mask)));
                base += evt3::kVect8Columns;
            } else {
                out.put(evt3::word(WordType::Vect12, static_cast<std::uint16_t>(mask)));
                base += evt3::kVect12Columns;
            }
        }
    }
}

}  // namespace

Evt3Encoder::Evt3Encoder() : width_(evt3::kAddressRange), height_(evt3::kAddressRange) {}

void Evt3Encoder::setSensor(std::uint32_t width, std::uint32_t height) {
    width_ = std::min(width, evt3::kAddressRange);
    height_ = std::min(height, evt3::kAddressRange);
}

void Evt3Encoder::startChunk() {
    high_ = 0;
    high_written_ = false;
    low_ = kNotWritten;
    row_ = kNotWritten;
}

void Evt3Encoder::validate(const Event2D* events, std::size_t event_count, const TriggerEvent* triggers,
                           std::size_t trigger_count, std::uint64_t span_end_us) const {
    if (span_end_us < encoded_until_)
        throw std::invalid_argument("the span's end " + std::to_string(span_end_us) +
                                    " comes before the end of the previous span " + std::to_string(encoded_until_));
    if (!eventsFit(events, event_count, encoded_until_, span_end_us, width_, height_)) {
        // The first event out of order or not encodable, then the first after the span.
        std::uint64_t previous = encoded_until_;
        for (std::size_t i = 0; i < event_count; ++i) {
            const Event2D& event = events[i];
            if (event.timestamp < previous)
                refuse("event", i, "its time stamp " + std::to_string(event.timestamp) + " comes before " +
                                       std::to_string(previous));
            previous = event.timestamp;
            const std::string where = "(" + std::to_string(event.x) + ", " + std::to_string(event.y) + ")";
            if (event.x >= width_ || event.y >= height_)
                refuse("event", i, width_ == evt3::kAddressRange && height_ == evt3::kAddressRange
                                       ? where + " is beyond 11 bits"
                                       : where + " lies outside the " + std::to_string(width_) + "x" +
                                             std::to_string(height_) + " sensor");
            if (event.polarity > 1) refuse("event", i, "its polarity is " + std::to_string(event.polarity));
        }
        checkTime("event", events, event_count, encoded_until_, span_end_us);
    }
    checkTime("trigger edge", triggers, trigger_count, encoded_until_, span_end_us);
    for (std::size_t i = 0; i < trigger_count; ++i) {
        if (triggers[i].value > 1) refuse("trigger edge", i, "its value is " + std::to_string(triggers[i].value));
        if (triggers[i].channel > evt3::kMaxChannel)
            refuse("trigger edge", i, "its channel is " + std::to_string(triggers[i].channel));
    }
}

std::size_t Evt3Encoder::maxBytes(std::size_t event_count, std::size_t trigger_count, std::uint64_t span_end_us) const {
    const std::uint64_t marks = ((std::max(span_end_us, encoded_until_) >> evt3::kTimeHalfBits) - high_) / kMarkSteps + 1;
    return static_cast<std::size_t>(2 * (kMaxWordsPerRecord * (event_count + trigger_count) + marks));
}

void Evt3Encoder::encode(const Event2D* events, std::size_t event_count, const TriggerEvent* triggers,
                         std::size_t trigger_count, std::uint64_t span_end_us, std::vector<std::uint8_t>& out) {
    validate(events, event_count, triggers, trigger_count, span_end_us);
    const std::size_t start = out.size();
    out.resize(start + maxBytes(event_count, trigger_count, span_end_us));
    out.resize(start + encodeValid(events, event_count, triggers, trigger_count, span_end_us, out.data() + start));
}

std::size_t Evt3Encoder::encodeInto(const Event2D* events, std::size_t event_count, const TriggerEvent* triggers,
                                    std::size_t trigger_count, std::uint64_t span_end_us, std::uint8_t* out) {
    validate(events, event_count, triggers, trigger_count, span_end_us);
    return encodeValid(events, event_count, triggers, trigger_count, span_end_us, out);
}

std::size_t Evt3Encoder::encodeValid(const Event2D* events, std::size_t event_count, const TriggerEvent* triggers,
                                     std::size_t trigger_count, std::uint64_t span_end_us, std::uint8_t* out) {
    WordWriter writer(out);

    // The state lives in locals, so that it stays in registers while words are written.
    std::uint64_t high = high_;
    bool high_written = high_written_;
    std::uint32_t low = low_;
    std::uint32_t row = row_;
    // TIME_HIGH words every half wrap period up to the given high half, so that a decoder
    // counts every wrap however long the stream stays silent.
    const auto putMarks = [&](std::uint64_t next_high) {
        while (next_high - high >= kMarkSteps) {
            high += kMarkSteps;
            writer.put(evt3::word(WordType::TimeHigh, static_cast<std::uint16_t>(high)));
            high_written = true;
        }
    };
    // TIME_HIGH only when the high half moves, which is rare; TIME_LOW and ADDR_Y only when they
    // change, chosen without a branch, since whether they do is the stream's own chance.
    const auto putTime = [&](std::uint64_t timestamp) {
        const std::uint64_t next_high = timestamp >> evt3::kTimeHalfBits;
        if (__builtin_expect(!high_written || next_high != high, 0)) {
            putMarks(next_high);
            if (!high_written || next_high != high) {
                writer.put(evt3::word(WordType::TimeHigh, static_cast<std::uint16_t>(next_high)));
                high = next_high;
                high_written = true;
            }
        }
        const auto next_low = static_cast<std::uint32_t>(timestamp & evt3::kPayloadMask);
        writer.putIf(evt3::word(WordType::TimeLow, static_cast<std::uint16_t>(next_low)), next_low != low);
        low = next_low;
    };

    std::size_t e = 0;
    std::size_t t = 0;
    while (e < event_count || t < trigger_count) {
        if (t < trigger_count && (e == event_count || triggers[t].timestamp < events[e].timestamp)) {
            const TriggerEvent& edge = triggers[t++];
            putTime(edge.timestamp);
            writer.put(evt3::word(WordType::ExtTrigger, static_cast<std::uint16_t>((edge.channel << 8) | edge.value)));
            continue;
        }
        const Event2D& event = events[e];
        putTime(event.timestamp);
        writer.putIf(evt3::word(WordType::AddrY, event.y), event.y != row);
        row = event.y;
        if (__builtin_expect(e + 1 < event_count && continuesRun(event, events[e + 1]), 0)) {
            const std::size_t length = runLength(events + e, event_count - e);
            putRun(events + e, length, writer);
            e += length;
            continue;
        }
        writer.put(evt3::word(WordType::AddrX, static_cast<std::uint16_t>(polarityBit(event.polarity) | event.x)));
        ++e;
    }
    putMarks(span_end_us >> evt3::kTimeHalfBits);

    high_ = high;
    high_written_ = high_written;
    low_ = low;
    row_ = row;
    encoded_until_ = span_end_us;
    return static_cast<std::size_t>(writer.at() - out);
}

}  // namespace velmo

#include <VelmoCodec/Evt3StreamScan.h>
#include <VelmoCodec/Evt3Words.h>

#include <algorithm>
#include <stdexcept>
#include <string>

namespace velmo {

namespace {

using evt3::WordType;

constexpr unsigned code(WordType type) { return static_cast<unsigned>(type); }

// As the decoder moves a vector's base on: far enough past every column to stay outside the
// sensor, never wrapping.
constexpr std::uint32_t kVectorBaseLimit = 0x10000;

}  // namespace

bool Evt3StateTracker::apply(std::uint16_t word) {
    const unsigned type = word >> evt3::kTypeShift;
    const std::uint32_t payload = word & evt3::kPayloadMask;
    switch (type) {
        case code(WordType::TimeHigh):
            state_.time = evt3::timeAfterTimeHigh(state_.time, state_.timed, payload);
            state_.timed = true;
            return true;
        case code(WordType::TimeLow):
            state_.time = (state_.time & ~std::uint64_t{evt3::kPayloadMask}) | payload;
            return true;
        case code(WordType::AddrY): state_.y = word & evt3::kAddressMask; return false;
        case code(WordType::VectBaseX):
            state_.vector_x = word & evt3::kAddressMask;
            state_.vector_polarity = payload >> evt3::kPolarityBit;
            return false;
        case code(WordType::Vect12): state_.vector_x = std::min(state_.vector_x + 12, kVectorBaseLimit); return false;
        case code(WordType::Vect8): state_.vector_x = std::min(state_.vector_x + 8, kVectorBaseLimit); return false;
        default: return false;
    }
}

void Evt3StartCheck::check(const std::uint8_t* data, std::size_t size) {
    if (passed_) return;
    // A word's type is in its high byte, at an odd offset of the stream.
    for (std::size_t i = seen_ % 2 == 0 ? 1 : 0; i < size && seen_ + i < kWindowBytes; i += 2) {
        if ((data[i] >> 4) == code(WordType::TimeHigh)) {
            passed_ = true;
            return;
        }
    }
    seen_ += size;
    if (seen_ >= kWindowBytes)
        throw std::invalid_argument("not an EVT3 stream: its first " + std::to_string(kWindowBytes) +
                                    " bytes hold no TIME_HIGH word, so every word in them would be skipped or "
                                    "dropped as untimed");
}

}  // namespace velmo

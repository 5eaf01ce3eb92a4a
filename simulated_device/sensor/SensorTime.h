#pragma once

#include <cstdint>

namespace velmo::sensor {

// Per-pixel times are kept in 32 bits to keep the state at a few bytes a pixel. A 32-bit stamp
// is compared with the 64-bit clock through its age, which is exact while the age is below
// 2^31 us (35 minutes); agedStamp, applied every kForgetIntervalUs, keeps every stored stamp
// younger than that.
using Stamp = std::uint32_t;

inline Stamp stampOf(std::uint64_t time_us) { return static_cast<Stamp>(time_us); }

inline std::uint32_t ageOf(std::uint64_t now_us, Stamp stamp) { return stampOf(now_us) - stamp; }

// The sensor works through time in steps of the event rate controller's reference period.
inline constexpr std::uint64_t kReferencePeriodUs = 200;

// Older than every threshold, period and delay the filters compare with, and young enough that
// an age never wraps between two calls of agedStamp.
inline constexpr std::uint32_t kLongAgo = 1u << 30;
// How often, in sensor time, stored stamps are pulled forward to at most kLongAgo in the past.
inline constexpr std::uint64_t kForgetIntervalUs = 1ull << 28;

// The stamp itself, or the stamp of kLongAgo before now when it is older: both mean "long ago".
inline Stamp agedStamp(std::uint64_t now_us, Stamp stamp) {
    return ageOf(now_us, stamp) > kLongAgo ? stampOf(now_us) - kLongAgo : stamp;
}

}  // namespace velmo::sensor

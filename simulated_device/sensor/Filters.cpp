#include "Filters.h"

#include "Scene.h"

#include <algorithm>
#include <cmath>

namespace velmo::sensor {

namespace {

constexpr std::size_t kTracks = std::size_t{kWidth} * kHeight * 2;

std::size_t trackOf(const Event2D& event) {
    return pixelIndex(event.x, event.y) * 2 + (event.polarity & 1);
}

// Before time 0 every pixel's last event lies long ago.
Stamp neverStamp() { return stampOf(0) - kLongAgo; }

}  // namespace

void AntiFlickerFilter::configure(const AntiFlickerSettings& settings) {
    enabled_ = settings.enabled;
    // Made when first needed, so that a camera whose filter stays off opens quickly.
    if (enabled_ && burst_start_.empty()) {
        burst_start_.assign(kTracks, neverStamp());
        periods_in_band_.assign(kTracks, 0);
    }
    band_pass_ = settings.band_pass;
    // The registry keeps both edges at 50 Hz or more; a band whose low edge lies above its high
    // edge is empty, and then no pixel flickers.
    const auto high_hz = static_cast<std::uint32_t>(std::max(settings.high_hz, 1));
    const auto low_hz = static_cast<std::uint32_t>(std::max(settings.low_hz, 1));
    shortest_period_us_ = 1'000'000 / high_hz;
    longest_period_us_ = 1'000'000 / low_hz;
    const double duty = std::clamp(static_cast<double>(settings.duty_cycle_percent), 0.0, 100.0) / 100.0;
    burst_window_us_ = static_cast<std::uint32_t>(std::lround(duty * shortest_period_us_));
}

bool AntiFlickerFilter::track(const Event2D& event) {
    const std::size_t track = trackOf(event);
    const std::uint32_t period_us = ageOf(event.timestamp, burst_start_[track]);
    std::uint8_t& in_band = periods_in_band_[track];
    if (period_us > burst_window_us_) {
        burst_start_[track] = stampOf(event.timestamp);
        const bool periodic = period_us >= shortest_period_us_ && period_us <= longest_period_us_;
        in_band = periodic ? static_cast<std::uint8_t>(std::min<int>(in_band + 1, kLockPeriods)) : 0;
    }
    const bool flickering = in_band >= kLockPeriods;
    return flickering == band_pass_;
}

void AntiFlickerFilter::prefetch(const Event2D& event) const {
    if (!enabled_) return;
    __builtin_prefetch(&burst_start_[trackOf(event)]);
    __builtin_prefetch(&periods_in_band_[trackOf(event)]);
}

void AntiFlickerFilter::forgetOldStamps(std::uint64_t now_us) {
    for (Stamp& stamp : burst_start_) stamp = agedStamp(now_us, stamp);
}

void TrailFilter::configure(const TrailSettings& settings) {
    settings_ = settings;
    if (settings_.enabled && last_.empty()) {
        last_.assign(kTracks, neverStamp());
        kept_in_burst_.assign(kTracks, 0);
    }
}

bool TrailFilter::track(const Event2D& event) {
    const std::size_t track = trackOf(event);
    const bool in_burst = ageOf(event.timestamp, last_[track]) <= settings_.threshold_us;
    last_[track] = stampOf(event.timestamp);
    switch (settings_.type) {
        case TrailSettings::Type::TRAIL: return !in_burst;
        case TrailSettings::Type::STC_KEEP_TRAIL: return in_burst;
        case TrailSettings::Type::STC_CUT_TRAIL: {
            std::uint8_t& kept = kept_in_burst_[track];
            if (!in_burst) {
                kept = 0;
                return false;
            }
            if (kept) return false;
            kept = 1;
            return true;
        }
    }
    return true;
}

void TrailFilter::prefetch(const Event2D& event) const {
    if (!settings_.enabled) return;
    __builtin_prefetch(&last_[trackOf(event)]);
    __builtin_prefetch(&kept_in_burst_[trackOf(event)]);
}

void TrailFilter::forgetOldStamps(std::uint64_t now_us) {
    for (Stamp& stamp : last_) stamp = agedStamp(now_us, stamp);
}

std::uint64_t RateController::budget(std::uint64_t period) const {
    // Within one second the products stay below 5,000 * 2^32: no overflow at any rate.
    const std::uint64_t in_second = period % kPeriodsPerSecond;
    const std::uint64_t rate = settings_.max_events_per_second;
    return (in_second + 1) * rate / kPeriodsPerSecond - in_second * rate / kPeriodsPerSecond;
}

void RateController::admit(std::uint64_t period, std::vector<Event2D>& events, std::size_t first) const {
    const std::uint64_t allowed = budget(period);
    const std::size_t count = events.size() - first;
    if (!settings_.enabled || count <= allowed) return;
    // Selection sampling: each event is kept with the chance (still to keep) / (still to see),
    // which keeps exactly the budget, each subset of that size equally likely.
    SplitMix64 random(seed_ ^ (period * 0xD1B54A32D192ED03ULL));
    std::uint64_t to_keep = allowed;
    std::size_t kept = first;
    for (std::size_t i = 0; i < count && to_keep > 0; ++i) {
        if (random.below(static_cast<std::uint32_t>(std::min<std::size_t>(count - i, UINT32_MAX))) < to_keep) {
            events[kept++] = events[first + i];
            --to_keep;
        }
    }
    events.resize(kept);
}

}  // namespace velmo::sensor

#pragma once

#include "SensorTime.h"

#include <VelmoBase/Event2D.h>
#include <VelmoSim/SplitMix64.h>

#include <cstdint>
#include <vector>

namespace velmo::sensor {

struct RoiSettings {
    bool enabled = false;
    bool keep_inside = true;
    std::uint32_t x_begin = 0;
    std::uint32_t x_end = 0;
    std::uint32_t y_begin = 0;
    std::uint32_t y_end = 0;

    bool operator==(const RoiSettings& other) const {
        return enabled == other.enabled && keep_inside == other.keep_inside && x_begin == other.x_begin &&
               x_end == other.x_end && y_begin == other.y_begin && y_end == other.y_end;
    }
};

// Keeps the events inside the window (ROI) or outside it (RONI).
class RoiFilter {
public:
    void configure(const RoiSettings& settings) { settings_ = settings; }
    const RoiSettings& settings() const { return settings_; }

    bool passes(const Event2D& event) const {
        if (!settings_.enabled) return true;
        const bool inside = event.x >= settings_.x_begin && event.x < settings_.x_end &&
                            event.y >= settings_.y_begin && event.y < settings_.y_end;
        return inside == settings_.keep_inside;
    }

private:
    RoiSettings settings_;
};

struct AntiFlickerSettings {
    bool enabled = false;
    bool band_pass = false;
    std::int32_t low_hz = 90;
    std::int32_t high_hz = 130;
    float duty_cycle_percent = 50.0f;
};

// Finds flickering pixels from the periods between the starts of their bursts, per polarity.
// A burst starts with an event that comes more than duty_cycle percent of the band's shortest
// period (1 / high_frequency) after the start of the pixel's previous burst; the events within
// that time belong to the burst. A pixel flickers while its last kLockPeriods periods each lie
// within [1 / high_frequency, 1 / low_frequency]. BAND_STOP drops the events of flickering
// pixels, BAND_PASS keeps only them. Every event that reaches the filter updates its pixel's
// state, whether it passes or not.
class AntiFlickerFilter {
public:
    static constexpr std::uint8_t kLockPeriods = 2;

    void configure(const AntiFlickerSettings& settings);
    bool passes(const Event2D& event) { return !enabled_ || track(event); }
    void prefetch(const Event2D& event) const;
    void forgetOldStamps(std::uint64_t now_us);

private:
    bool track(const Event2D& event);

    bool enabled_ = false;
    bool band_pass_ = false;
    std::uint32_t burst_window_us_ = 0;
    std::uint32_t shortest_period_us_ = 0;
    std::uint32_t longest_period_us_ = 0;
    // Per pixel and polarity, once the filter has been enabled.
    std::vector<Stamp> burst_start_;
    std::vector<std::uint8_t> periods_in_band_;
};

struct TrailSettings {
    enum class Type { TRAIL, STC_CUT_TRAIL, STC_KEEP_TRAIL };
    bool enabled = false;
    Type type = Type::TRAIL;
    std::uint32_t threshold_us = 10'000;
};

// Per pixel and polarity, compares each event with the pixel's previous event of the same
// polarity. A burst is a run of events each within threshold_us of the one before. TRAIL keeps
// the first event of each burst; STC_KEEP_TRAIL keeps all but the first (so isolated events go);
// STC_CUT_TRAIL keeps only the second. Every event that reaches the filter, kept or dropped,
// becomes the pixel's previous event: a long trail is cut as a whole, not every threshold_us.
class TrailFilter {
public:
    void configure(const TrailSettings& settings);
    bool passes(const Event2D& event) { return !settings_.enabled || track(event); }
    void prefetch(const Event2D& event) const;
    void forgetOldStamps(std::uint64_t now_us);

private:
    bool track(const Event2D& event);

    TrailSettings settings_;
    // Per pixel and polarity, once the filter has been enabled.
    std::vector<Stamp> last_;
    std::vector<std::uint8_t> kept_in_burst_;
};

struct RateSettings {
    bool enabled = false;
    std::uint32_t max_events_per_second = 0;
};

// Event rate control over reference periods of kPeriodUs. Each period's budget is its share of
// max_events_per_second (the fractions carried, so that every second's budgets add up to the
// rate exactly); when more events arrive in a period, a pseudo-random choice that is the same
// for the same seed and period keeps exactly the budget, spread evenly over the period and the
// array.
class RateController {
public:
    static constexpr std::uint64_t kPeriodUs = kReferencePeriodUs;
    static constexpr std::uint64_t kPeriodsPerSecond = 1'000'000 / kPeriodUs;

    explicit RateController(std::uint64_t seed) : seed_(seed) {}
    void configure(const RateSettings& settings) { settings_ = settings; }
    std::uint64_t budget(std::uint64_t period) const;
    // events[first ..] are the period's arrivals; keeps those that pass, in their order, and
    // removes the rest.
    void admit(std::uint64_t period, std::vector<Event2D>& events, std::size_t first) const;

private:
    std::uint64_t seed_;
    RateSettings settings_;
};

}  // namespace velmo::sensor

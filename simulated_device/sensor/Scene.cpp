#include "Scene.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace velmo::sensor {

namespace {

constexpr std::uint64_t kMicrosecondsPerSecond = 1'000'000;
constexpr std::uint64_t kNoiseTimeScale = 1024;
// A bar and the lamp against the background, in natural-log units of brightness: at the
// default thresholds a bar edge makes three events at a pixel and a lamp edge two.
constexpr double kBarContrast = 0.9;
constexpr double kLampContrast = 0.6;
// The blurred border of a bar, in pixels: its edge takes this long to pass a pixel.
constexpr double kBarEdgePx = 2.0;
constexpr double kLampRiseUs = 100.0;
// Bars sweep no higher than this, so that the lamp above them stays clear of them.
constexpr std::uint32_t kBarRowsBegin = 100;
// Rows times pixels per second of each bar: with both edges making three events a pixel, each
// bar gives about 200,000 events a second.
constexpr std::uint32_t kBarPixelsPerSecond = 37'000;

}  // namespace

void TriggerSource::edges(std::uint64_t from_us, std::uint64_t to_us, std::vector<TriggerEvent>& out) {
    constexpr std::uint64_t half = kPeriodUs / 2;
    for (std::uint64_t edge = (from_us + half - 1) / half; edge * half < to_us; ++edge) {
        TriggerEvent trigger{};
        trigger.value = edge % 2 == 0 ? 1 : 0;
        trigger.channel = kChannel;
        trigger.timestamp = edge * half;
        out.push_back(trigger);
    }
}

Scene::Scene(std::uint64_t seed) : random_(seed) {
    for (Bar& bar : bars_) {
        bar.width = 60 + random_.below(200);
        bar.speed_px_per_s = 300 + random_.below(600);
        bar.start_px = random_.below(kWidth + bar.width);
        bar.height = kBarPixelsPerSecond / bar.speed_px_per_s + random_.below(10);
        bar.top = kBarRowsBegin + random_.below(kHeight - kBarRowsBegin - bar.height + 1);
    }
    next_step_.fill(1);
}

EdgeProfile Scene::edgeProfile(std::size_t source) const {
    if (source == kLampSource) return {kLampContrast, kLampRiseUs};
    return {kBarContrast, kBarEdgePx * kMicrosecondsPerSecond / bars_[source].speed_px_per_s};
}

void Scene::setNoiseRates(double on_hz, double off_hz) {
    const double pixels = static_cast<double>(kWidth) * kHeight;
    const double total_hz = std::max((on_hz + off_hz) * pixels, 1e-9);
    const double gap = kMicrosecondsPerSecond * kNoiseTimeScale / total_hz;
    // Below one event in about two seconds of the whole array the gap stops growing.
    mean_noise_gap_ = static_cast<std::uint32_t>(std::clamp(gap, 1.0, double{std::numeric_limits<std::uint32_t>::max() / 2}));
    on_share_ = static_cast<std::uint32_t>(std::lround(65536.0 * on_hz * pixels / total_hz));
}

void Scene::emitBarStep(const Bar& bar, std::uint8_t source, std::int64_t step, std::uint64_t time_us, Wheel& wheel) {
    const std::int64_t lap = kWidth + bar.width;
    const std::int64_t front = (bar.start_px + step) % lap;
    const std::uint32_t column_us = static_cast<std::uint32_t>(kMicrosecondsPerSecond / bar.speed_px_per_s);
    for (int leading = 1; leading >= 0; --leading) {
        const std::int64_t x = leading ? front : front - bar.width;
        if (x < 0 || x >= static_cast<std::int64_t>(kWidth)) continue;
        // The edge is not perfectly straight: each pixel of the column is reached somewhere
        // within the time the edge takes to move one pixel.
        for (std::uint32_t y = bar.top; y < bar.top + bar.height; ++y)
            wheel.push(Stimulus{time_us + random_.below(column_us), static_cast<std::uint16_t>(x), static_cast<std::uint16_t>(y), source,
                                static_cast<std::uint8_t>(leading)});
    }
}

void Scene::emitLampEdge(std::uint64_t edge, Wheel& wheel) {
    const std::uint64_t time_us = edge * (Lamp::kPeriodUs / 2);
    const auto polarity = static_cast<std::uint8_t>(edge % 2 == 0 ? 1 : 0);
    for (std::uint32_t y = Lamp::kY; y < Lamp::kY + Lamp::kSize; ++y)
        for (std::uint32_t x = Lamp::kX; x < Lamp::kX + Lamp::kSize; ++x)
            wheel.push(Stimulus{time_us + random_.below(Lamp::kSpreadUs), static_cast<std::uint16_t>(x), static_cast<std::uint16_t>(y), kLampSource, polarity});
}

void Scene::emitUntil(std::uint64_t end_us, Wheel& wheel) {
    for (std::size_t source = 0; source < kBarCount; ++source) {
        const Bar& bar = bars_[source];
        for (;;) {
            const auto step = static_cast<std::uint64_t>(next_step_[source]);
            const std::uint64_t time_us = (step * kMicrosecondsPerSecond + bar.speed_px_per_s - 1) / bar.speed_px_per_s;
            if (time_us >= end_us) break;
            emitBarStep(bar, static_cast<std::uint8_t>(source), next_step_[source]++, time_us, wheel);
        }
    }
    while (next_lamp_edge_ * (Lamp::kPeriodUs / 2) < end_us) emitLampEdge(next_lamp_edge_++, wheel);
    for (;;) {
        const std::uint64_t time_us = noise_time_ / kNoiseTimeScale;
        if (time_us >= end_us) break;
        const std::uint64_t draw = random_.next();
        const auto x = static_cast<std::uint16_t>(((draw & 0xFFFFF) * kWidth) >> 20);
        const auto y = static_cast<std::uint16_t>((((draw >> 20) & 0xFFFFF) * kHeight) >> 20);
        const auto polarity = static_cast<std::uint8_t>(((draw >> 40) & 0xFFFF) < on_share_ ? 1 : 0);
        wheel.push(Stimulus{time_us, x, y, kNoiseSource, polarity});
        noise_time_ += random_.below(2 * mean_noise_gap_);
    }
}

}  // namespace velmo::sensor

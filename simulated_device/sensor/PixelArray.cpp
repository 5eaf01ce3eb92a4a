#include "PixelArray.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace velmo::sensor {

namespace {

constexpr double kDefaultThreshold = 0.25;
constexpr double kDefaultPhotoreceptorTauUs = 200.0;
constexpr double kDefaultHighpassTauUs = 1e6;
constexpr double kDefaultRefractoryUs = 100.0;
constexpr double kDefaultNoiseHz = 0.1;
// The high-pass filter weighs noise against this time scale of the leak it removes.
constexpr double kNoiseLeakUs = 10'000.0;
// A pixel is never blind for longer than this, so a ready time further ahead is one in the past.
constexpr std::uint32_t kReadyHorizonUs = 2 * PixelArray::kMaxDelayUs;

double noiseHz(double threshold, double photoreceptor_tau_us, double highpass_tau_us) {
    const double threshold_ratio = kDefaultThreshold / threshold;
    return kDefaultNoiseHz * threshold_ratio * threshold_ratio * threshold_ratio *
           (kDefaultPhotoreceptorTauUs / photoreceptor_tau_us) * (highpass_tau_us / (highpass_tau_us + kNoiseLeakUs));
}

// What is left of a change that takes rise_us, at its peak, after a high-pass filter.
double highpassGain(double rise_us, double highpass_tau_us) {
    const double ratio = rise_us / highpass_tau_us;
    return ratio < 1e-9 ? 1.0 : (1.0 - std::exp(-ratio)) / ratio;
}

}  // namespace

PixelModel PixelModel::of(const BiasSettings& biases) {
    PixelModel model{};
    model.on_threshold = kDefaultThreshold * std::exp2(biases.diff_on / 100.0);
    model.off_threshold = kDefaultThreshold * std::exp2(biases.diff_off / 100.0);
    model.photoreceptor_tau_us = kDefaultPhotoreceptorTauUs * std::exp2(-biases.fo / 30.0);
    model.highpass_tau_us = kDefaultHighpassTauUs * std::exp2(-biases.hpf / 15.0);
    model.refractory_us = kDefaultRefractoryUs * std::exp2(-biases.refr / 60.0);
    model.noise_on_hz = noiseHz(model.on_threshold, model.photoreceptor_tau_us, model.highpass_tau_us);
    model.noise_off_hz = noiseHz(model.off_threshold, model.photoreceptor_tau_us, model.highpass_tau_us);
    return model;
}

PixelArray::PixelArray(std::uint64_t seed)
    : mismatch_seed_(SplitMix64(seed ^ 0x5A17E5EEDULL).next()), ready_(std::size_t{kWidth} * kHeight, 0) {}

std::size_t PixelArray::mismatchLevel(std::size_t pixel) const {
    std::uint64_t z = (pixel + mismatch_seed_) * 0x9E3779B97F4A7C15ULL;
    z ^= z >> 29;
    return static_cast<std::size_t>((z * 0xBF58476D1CE4E5B9ULL) >> 61);
}

void PixelArray::configure(const PixelModel& model, const std::array<EdgeProfile, kEdgeSourceCount>& edges) {
    refractory_us_ = static_cast<std::uint32_t>(std::lround(model.refractory_us));
    for (std::size_t source = 0; source < kEdgeSourceCount; ++source) {
        const EdgeProfile& edge = edges[source];
        const double rise_us = edge.rise_us + model.photoreceptor_tau_us;
        const double contrast = edge.contrast * highpassGain(rise_us, model.highpass_tau_us);
        for (std::size_t polarity = 0; polarity < 2; ++polarity) {
            const double nominal = polarity == 1 ? model.on_threshold : model.off_threshold;
            for (std::size_t level = 0; level < kMismatchLevels; ++level) {
                // Thresholds spread by -14 % to +14 % over the array.
                const double threshold = nominal * (0.86 + 0.04 * static_cast<double>(level));
                Burst& burst = bursts_[source][polarity][level];
                burst.count = 0;
                // The k-th event fires when the low-passed step 1 - exp(-t / tau) reaches k
                // thresholds.
                for (double crossed = threshold; crossed < contrast && burst.count < kMaxBurst; crossed += threshold) {
                    const double offset = -model.photoreceptor_tau_us * std::log1p(-crossed / contrast);
                    burst.offsets_us[burst.count++] =
                        static_cast<std::uint16_t>(std::min(offset, double{kMaxDelayUs}));
                }
            }
        }
    }
}

std::size_t PixelArray::stimulate(const Stimulus& stimulus, Wheel& out) {
    const std::uint64_t now_us = stimulus.timestamp;
    const std::size_t pixel = pixelIndex(stimulus.x, stimulus.y);
    Event2D event;
    std::memset(&event, 0, sizeof event);
    event.x = stimulus.x;
    event.y = stimulus.y;
    event.polarity = stimulus.polarity;
    const std::uint32_t blind_us = ready_[pixel] - stampOf(now_us);
    std::uint64_t free_us = now_us + (blind_us < kReadyHorizonUs ? blind_us : 0);
    if (stimulus.source == kNoiseSource) {
        if (free_us != now_us) return 0;
        event.timestamp = now_us;
        out.push(event);
        ready_[pixel] = stampOf(now_us + refractory_us_);
        return 1;
    }
    const Burst& burst = bursts_[stimulus.source][stimulus.polarity][mismatchLevel(pixel)];
    std::size_t fired = 0;
    for (std::uint32_t k = 0; k < burst.count; ++k) {
        const std::uint64_t time_us = std::max(now_us + burst.offsets_us[k], free_us);
        if (time_us - now_us >= kMaxDelayUs) break;
        event.timestamp = time_us;
        out.push(event);
        free_us = time_us + refractory_us_;
        ++fired;
    }
    ready_[pixel] = stampOf(free_us);
    return fired;
}

void PixelArray::forgetOldStamps(std::uint64_t now_us) {
    // A time the pixel was ready at long ago means the same as now.
    for (Stamp& ready : ready_)
        if (ready - stampOf(now_us) >= kReadyHorizonUs) ready = stampOf(now_us);
}

}  // namespace velmo::sensor

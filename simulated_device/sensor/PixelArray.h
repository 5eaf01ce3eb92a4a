#pragma once

#include "Scene.h"
#include "SensorTime.h"
#include "TimeWheel.h"

#include <VelmoBase/Event2D.h>

#include <array>
#include <cstdint>
#include <vector>

namespace velmo::sensor {

// The five bias registers, as offsets from the factory setting.
struct BiasSettings {
    std::int32_t diff_on = 0;
    std::int32_t diff_off = 0;
    std::int32_t fo = 0;
    std::int32_t hpf = 0;
    std::int32_t refr = 0;

    bool operator==(const BiasSettings& other) const {
        return diff_on == other.diff_on && diff_off == other.diff_off && fo == other.fo && hpf == other.hpf &&
               refr == other.refr;
    }
};

// The quantities of the pixel circuit that the biases set (the documentation's table gives the
// same mapping).
struct PixelModel {
    double on_threshold;          // rise of log brightness that fires an ON event
    double off_threshold;         // fall of log brightness that fires an OFF event
    double photoreceptor_tau_us;  // low-pass time constant of the photoreceptor
    double highpass_tau_us;       // time constant of the high-pass filter
    double refractory_us;         // blind time after each event
    double noise_on_hz;           // background ON events per pixel and second
    double noise_off_hz;          // background OFF events per pixel and second

    static PixelModel of(const BiasSettings& biases);
};

// The pixel array: turns each stimulus into the events its pixel fires. A pixel fires an event
// each time its photoreceptor's log brightness, low-pass filtered, has moved by one threshold
// from the level at its last event, and stays blind for the refractory period after each.
// Thresholds differ a little from pixel to pixel, as they do on a real array.
class PixelArray {
public:
    using Wheel = TimeWheel<Event2D, kReferencePeriodUs, 64>;
    // A pixel that would fire later than this after its stimulus is saturated: the rest of
    // that edge is lost.
    static constexpr std::uint32_t kMaxDelayUs = 8192;
    static constexpr std::size_t kMaxBurst = 12;

    explicit PixelArray(std::uint64_t seed);

    void configure(const PixelModel& model, const std::array<EdgeProfile, kEdgeSourceCount>& edges);
    // The events of a stimulus go into the wheel, at its time or later. Returns how many.
    std::size_t stimulate(const Stimulus& stimulus, Wheel& out);
    // Noise reaches pixels at random: asking for a pixel's state a few stimuli ahead hides
    // the wait for memory.
    void prefetch(const Stimulus& stimulus) const { __builtin_prefetch(&ready_[pixelIndex(stimulus.x, stimulus.y)]); }
    void forgetOldStamps(std::uint64_t now_us);

private:
    static constexpr std::size_t kMismatchLevels = 8;

    struct Burst {
        std::uint32_t count;
        std::array<std::uint16_t, kMaxBurst> offsets_us;
    };

    std::size_t mismatchLevel(std::size_t pixel) const;

    std::uint64_t mismatch_seed_;
    std::uint32_t refractory_us_ = 0;
    // By edge source, polarity and mismatch level.
    std::array<std::array<std::array<Burst, kMismatchLevels>, 2>, kEdgeSourceCount> bursts_{};
    // Per pixel: the earliest time at which it can fire again.
    std::vector<Stamp> ready_;
};

}  // namespace velmo::sensor

#pragma once

#include "SensorTime.h"
#include "TimeWheel.h"

#include <VelmoBase/Event2D.h>
#include <VelmoCodec/TriggerEvent.h>
#include <VelmoHal/camera/tools/CameraToolPrivate.h>
#include <VelmoSim/SplitMix64.h>

#include <array>
#include <cstdint>
#include <vector>

namespace velmo::sensor {

// The IMX636's, as its tools know it.
inline constexpr std::uint32_t kWidth = velmo::imx636::kSensorWidth;
inline constexpr std::uint32_t kHeight = velmo::imx636::kSensorHeight;

// Per-pixel state is stored column by column: the bars' edges are vertical, so the pixels one
// edge reaches together lie side by side in memory.
inline std::size_t pixelIndex(std::uint32_t x, std::uint32_t y) { return std::size_t{x} * kHeight + y; }

// What the scene does to one pixel at one microsecond: a brightness edge from one of its
// sources, or a background noise event.
struct Stimulus {
    std::uint64_t timestamp;
    std::uint16_t x;
    std::uint16_t y;
    std::uint8_t source;
    std::uint8_t polarity;
};

// The sources that make brightness edges: three bars, then the lamp. Noise comes after them.
inline constexpr std::size_t kBarCount = 3;
inline constexpr std::uint8_t kLampSource = kBarCount;
inline constexpr std::size_t kEdgeSourceCount = kBarCount + 1;
inline constexpr std::uint8_t kNoiseSource = kEdgeSourceCount;

// The step in log brightness that one source's edge makes at a pixel, and how long the edge
// takes to pass over it (the part of the change that the high-pass filter sees as slow).
struct EdgeProfile {
    double contrast;
    double rise_us;
};

// A flickering lamp: a square patch whose light switches on and off at a mains-like rate.
struct Lamp {
    static constexpr std::uint32_t kX = 1160;
    static constexpr std::uint32_t kY = 40;
    static constexpr std::uint32_t kSize = 24;
    static constexpr std::uint64_t kPeriodUs = 10'000;  // 100 Hz
    // Where each pixel's edge falls after the lamp's: the pixels are not perfectly in step.
    static constexpr std::uint32_t kSpreadUs = 40;

    static bool covers(std::uint32_t x, std::uint32_t y) { return x - kX < kSize && y - kY < kSize; }
};

// The trigger input: a 100 Hz square wave on channel 0, rising at every multiple of 10 ms and
// falling 5 ms later.
struct TriggerSource {
    static constexpr std::uint64_t kPeriodUs = 10'000;
    static constexpr std::uint8_t kChannel = 0;

    // Appends the edges in [from_us, to_us), in time order, fill bytes zero.
    static void edges(std::uint64_t from_us, std::uint64_t to_us, std::vector<TriggerEvent>& out);
};

// The scene in front of the sensor: three bright bars sweeping left to right and wrapping
// around, the lamp, and background noise, as stimuli in time order. The same seed gives the
// same stimuli, however far ahead they are asked for at a time.
class Scene {
public:
    using Wheel = TimeWheel<Stimulus, kReferencePeriodUs, 32>;

    explicit Scene(std::uint64_t seed);

    EdgeProfile edgeProfile(std::size_t source) const;
    // Background noise per pixel and polarity, in Hz; applies from the next noise event on.
    void setNoiseRates(double on_hz, double off_hz);
    // Puts every stimulus of an edge or noise event that starts before end_us into the wheel;
    // each lands within 4 ms of its start.
    void emitUntil(std::uint64_t end_us, Wheel& wheel);

    struct Bar {
        std::uint32_t start_px;
        std::uint32_t speed_px_per_s;
        std::uint32_t width;
        std::uint32_t top;
        std::uint32_t height;
    };

private:
    void emitBarStep(const Bar& bar, std::uint8_t source, std::int64_t step, std::uint64_t time_us, Wheel& wheel);
    void emitLampEdge(std::uint64_t edge, Wheel& wheel);

    SplitMix64 random_;
    std::array<Bar, kBarCount> bars_{};
    // Per bar: the next whole pixel its leading edge moves onto (counted from its start).
    std::array<std::int64_t, kBarCount> next_step_{};
    std::uint64_t next_lamp_edge_ = 0;
    // Noise time in 1/1024 us; gaps are uniform in [0, 2 * mean_gap_).
    std::uint64_t noise_time_ = 0;
    std::uint32_t mean_noise_gap_ = 1;
    std::uint32_t on_share_ = 1u << 15;  // of 1 << 16
};

}  // namespace velmo::sensor

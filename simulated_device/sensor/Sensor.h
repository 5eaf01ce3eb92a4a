#pragma once

#include "Filters.h"
#include "PixelArray.h"
#include "Scene.h"

#include <VelmoBase/Event2D.h>

#include <cstddef>
#include <cstdint>
#include <vector>

namespace velmo {
class RegisterFile;
}

namespace velmo::sensor {

// Every setting that acts on the stream, read from the register file at one instant.
struct SensorSettings {
    BiasSettings biases;
    RoiSettings roi;
    AntiFlickerSettings anti_flicker;
    TrailSettings trail;
    RateSettings rate;
    bool trigger_in = false;

    static SensorSettings read(const RegisterFile& registers);
};

// The IMX636 as a chain: the scene's stimuli, the pixel array, then the digital filters in the
// sensor's order (ROI, anti-flicker, trail filter, event rate control). Time advances in the
// rate controller's reference periods; the events of a period are decided once the period is
// complete and wait in a queue until they are taken. With the same settings, the same seed
// gives the same events however the time is advanced and the events taken.
class Sensor {
public:
    explicit Sensor(std::uint64_t seed);

    // Applies to what is decided from now on. Of the events already decided and queued (at
    // most one reference period's), a changed window removes those outside it; the other
    // settings leave them as they were.
    void configure(const SensorSettings& settings);
    // Decides the next reference period.
    void advance();
    // Every event before this time is decided (or already taken).
    std::uint64_t decidedUntil() const { return decided_until_us_; }
    // Events the pixels fired so far, before any filter.
    std::uint64_t fired() const { return fired_; }

    std::size_t queued() const { return queue_.size() - head_; }
    // Moves up to n queued events, oldest first, into out; returns how many.
    std::size_t take(Event2D* out, std::size_t n);
    // Appends the queued events before end_us to out.
    void takeBefore(std::uint64_t end_us, std::vector<Event2D>& out);
    // The time stamp of the last event taken, or 0.
    std::uint64_t lastTaken() const { return last_taken_us_; }

private:
    void dropTaken();
    void forgetOldStamps(std::uint64_t now_us);

    Scene scene_;
    PixelArray pixels_;
    RoiFilter roi_;
    AntiFlickerFilter anti_flicker_;
    TrailFilter trail_;
    RateController rate_;
    Scene::Wheel stimuli_;
    PixelArray::Wheel fired_events_;
    std::vector<Stimulus> stimulus_batch_;
    std::vector<Event2D> event_batch_;
    std::vector<Event2D> queue_;
    std::size_t head_ = 0;
    // The biases the pixels were last configured with; working out a burst table for every
    // source takes hundreds of logarithms, too many to repeat on each short read.
    BiasSettings biases_;
    bool configured_ = false;
    std::uint64_t decided_until_us_ = 0;
    std::uint64_t fired_ = 0;
    std::uint64_t last_taken_us_ = 0;
};

}  // namespace velmo::sensor

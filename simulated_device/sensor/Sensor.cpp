#include "Sensor.h"

#include <VelmoHal/camera/tools/CameraToolPrivate.h>
#include <VelmoSim/RegisterFile.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <string>

namespace velmo::sensor {

SensorSettings SensorSettings::read(const RegisterFile& registers) {
    // Every read starts here: only these registers are copied, and their addresses are made once.
    enum Register : std::size_t {
        kDiffOn, kDiffOff, kFo, kHpf, kRefr,
        kRoiEnable, kRoiMode, kRoiX, kRoiY, kRoiWidth, kRoiHeight,
        kFlickerEnable, kFlickerMode, kFlickerLow, kFlickerHigh, kFlickerDuty,
        kTrailEnable, kTrailType, kTrailThreshold,
        kRateEnable, kRateMax,
        kTriggerEnable,
    };
    using imx636::registerAddress;
    // Never destroyed: a daemon thread may still be reading when the process runs its static
    // destructors at exit.
    static const std::vector<std::string>& addresses = *new const std::vector<std::string>{
        registerAddress(imx636::kBiasesBlock, "bias_diff_on"),
        registerAddress(imx636::kBiasesBlock, "bias_diff_off"),
        registerAddress(imx636::kBiasesBlock, "bias_fo"),
        registerAddress(imx636::kBiasesBlock, "bias_hpf"),
        registerAddress(imx636::kBiasesBlock, "bias_refr"),
        registerAddress(imx636::kRoiBlock, "enable"),
        registerAddress(imx636::kRoiBlock, "mode"),
        registerAddress(imx636::kRoiBlock, "x"),
        registerAddress(imx636::kRoiBlock, "y"),
        registerAddress(imx636::kRoiBlock, "x_width"),
        registerAddress(imx636::kRoiBlock, "y_height"),
        registerAddress(imx636::kAntiFlickerBlock, "enable"),
        registerAddress(imx636::kAntiFlickerBlock, "mode"),
        registerAddress(imx636::kAntiFlickerBlock, "low_frequency"),
        registerAddress(imx636::kAntiFlickerBlock, "high_frequency"),
        registerAddress(imx636::kAntiFlickerBlock, "duty_cycle"),
        registerAddress(imx636::kEventTrailFilterBlock, "enable"),
        registerAddress(imx636::kEventTrailFilterBlock, "type"),
        registerAddress(imx636::kEventTrailFilterBlock, "threshold"),
        registerAddress(imx636::kEventRateControlBlock, "enable"),
        registerAddress(imx636::kEventRateControlBlock, "max_event_rate"),
        registerAddress(imx636::kTriggerInBlock, "enable"),
    };
    const std::vector<RegisterFile::Value> values = registers.readTogether(addresses);
    const auto number = [&](Register index) { return std::get<std::int32_t>(values[index]); };
    const auto flag = [&](Register index) { return std::get<bool>(values[index]); };
    const auto text = [&](Register index) { return std::get<std::string>(values[index]); };

    SensorSettings settings;
    settings.biases = {number(kDiffOn), number(kDiffOff), number(kFo), number(kHpf), number(kRefr)};
    const auto x = static_cast<std::uint32_t>(number(kRoiX));
    const auto y = static_cast<std::uint32_t>(number(kRoiY));
    settings.roi = {flag(kRoiEnable), text(kRoiMode) == "ROI", x,
                    std::min(kWidth, x + static_cast<std::uint32_t>(number(kRoiWidth))), y,
                    std::min(kHeight, y + static_cast<std::uint32_t>(number(kRoiHeight)))};
    settings.anti_flicker = {flag(kFlickerEnable), text(kFlickerMode) == "BAND_PASS", number(kFlickerLow),
                             number(kFlickerHigh), std::get<float>(values[kFlickerDuty])};
    const std::string type = text(kTrailType);
    settings.trail = {flag(kTrailEnable),
                      type == "STC_CUT_TRAIL"    ? TrailSettings::Type::STC_CUT_TRAIL
                      : type == "STC_KEEP_TRAIL" ? TrailSettings::Type::STC_KEEP_TRAIL
                                                 : TrailSettings::Type::TRAIL,
                      static_cast<std::uint32_t>(std::max(number(kTrailThreshold), 0))};
    settings.rate = {flag(kRateEnable), static_cast<std::uint32_t>(std::max(number(kRateMax), 0))};
    settings.trigger_in = flag(kTriggerEnable);
    return settings;
}

Sensor::Sensor(std::uint64_t seed) : scene_(seed), pixels_(seed), rate_(seed) {
    configure(SensorSettings{});
}

void Sensor::configure(const SensorSettings& settings) {
    if (!configured_ || !(settings.biases == biases_)) {
        const PixelModel model = PixelModel::of(settings.biases);
        std::array<EdgeProfile, kEdgeSourceCount> edges{};
        for (std::size_t source = 0; source < kEdgeSourceCount; ++source) edges[source] = scene_.edgeProfile(source);
        pixels_.configure(model, edges);
        scene_.setNoiseRates(model.noise_on_hz, model.noise_off_hz);
        biases_ = settings.biases;
        configured_ = true;
    }
    if (!(settings.roi == roi_.settings())) {
        roi_.configure(settings.roi);
        dropTaken();
        queue_.erase(std::remove_if(queue_.begin(), queue_.end(), [&](const Event2D& event) { return !roi_.passes(event); }),
                     queue_.end());
    }
    anti_flicker_.configure(settings.anti_flicker);
    trail_.configure(settings.trail);
    rate_.configure(settings.rate);
}

void Sensor::advance() {
    const std::uint64_t begin_us = decided_until_us_;
    const std::uint64_t end_us = begin_us + RateController::kPeriodUs;
    if (begin_us % kForgetIntervalUs == 0 && begin_us != 0) forgetOldStamps(begin_us);
    scene_.emitUntil(end_us, stimuli_);
    // A stimulus makes events at its own time or later, so once this period's stimuli have
    // fired, its events are complete.
    stimuli_.take(begin_us, stimulus_batch_);
    constexpr std::size_t kAhead = 8;
    const std::size_t stimuli = stimulus_batch_.size();
    for (std::size_t i = 0; i < stimuli; ++i) {
        if (i + kAhead < stimuli) pixels_.prefetch(stimulus_batch_[i + kAhead]);
        fired_ += pixels_.stimulate(stimulus_batch_[i], fired_events_);
    }
    fired_events_.take(begin_us, event_batch_);
    dropTaken();
    const std::size_t first = queue_.size();
    const std::size_t events = event_batch_.size();
    for (std::size_t i = 0; i < events; ++i) {
        if (i + kAhead < events) {
            anti_flicker_.prefetch(event_batch_[i + kAhead]);
            trail_.prefetch(event_batch_[i + kAhead]);
        }
        const Event2D& event = event_batch_[i];
        if (roi_.passes(event) && anti_flicker_.passes(event) && trail_.passes(event)) queue_.push_back(event);
    }
    rate_.admit(begin_us / RateController::kPeriodUs, queue_, first);
    decided_until_us_ = end_us;
}

void Sensor::forgetOldStamps(std::uint64_t now_us) {
    pixels_.forgetOldStamps(now_us);
    anti_flicker_.forgetOldStamps(now_us);
    trail_.forgetOldStamps(now_us);
}

void Sensor::dropTaken() {
    if (head_ == 0) return;
    queue_.erase(queue_.begin(), queue_.begin() + static_cast<std::ptrdiff_t>(head_));
    head_ = 0;
}

namespace {

// Copies records whole and then clears their fill bytes, so that nothing but the device's
// bytes ever reaches the caller's memory, whatever the copies on the way did with the padding.
void copyClean(const Event2D* from, std::size_t count, Event2D* to) {
    std::memcpy(static_cast<void*>(to), from, count * sizeof(Event2D));
    constexpr std::size_t fill_begin = offsetof(Event2D, polarity) + sizeof(Event2D::polarity);
    constexpr std::size_t fill_size = offsetof(Event2D, timestamp) - fill_begin;
    auto* bytes = reinterpret_cast<unsigned char*>(to);
    for (std::size_t i = 0; i < count; ++i) std::memset(bytes + i * sizeof(Event2D) + fill_begin, 0, fill_size);
}

}  // namespace

std::size_t Sensor::take(Event2D* out, std::size_t n) {
    const std::size_t count = std::min(n, queued());
    if (count == 0) return 0;
    copyClean(queue_.data() + head_, count, out);
    head_ += count;
    last_taken_us_ = out[count - 1].timestamp;
    return count;
}

void Sensor::takeBefore(std::uint64_t end_us, std::vector<Event2D>& out) {
    const Event2D* begin = queue_.data() + head_;
    const Event2D* end = std::partition_point(begin, static_cast<const Event2D*>(queue_.data() + queue_.size()),
                                              [&](const Event2D& event) { return event.timestamp < end_us; });
    const auto count = static_cast<std::size_t>(end - begin);
    if (count == 0) return;
    const std::size_t first = out.size();
    out.resize(first + count);
    copyClean(begin, count, out.data() + first);
    head_ += count;
    last_taken_us_ = end[-1].timestamp;
}

}  // namespace velmo::sensor

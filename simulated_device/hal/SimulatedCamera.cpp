#include <VelmoCodec/Evt3Encoder.h>
#include <VelmoCodec/ForkGeneration.h>
#include <VelmoCodec/QuotedText.h>
#include <VelmoHal/device/Imx636Biases.h>
#include <VelmoHal/device/Logger.h>
#include <VelmoSim/RegisterFile.h>
#include <VelmoSim/SimulatedCamera.h>
#include <VelmoSim/SplitMix64.h>

#include "../sensor/Sensor.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <limits>
#include <mutex>
#include <stdexcept>
#include <utility>

namespace velmo {

namespace {

const std::vector<CameraDescription>& knownCameras() {
    // Never destroyed, like every static a reading thread touches: daemon threads may still read
    // when the process runs its static destructors at exit.
    static const std::vector<CameraDescription>& cameras = *new const std::vector<CameraDescription>{
        {"VLM636-000101", "Velmo Event Kit 636", "Velmo", 0x7E1D, 0x0636, USB},
        {"VLM636-000102", "Velmo Event Kit 636", "Velmo", 0x7E1D, 0x0636, USB},
    };
    return cameras;
}

std::shared_ptr<CameraTool> makeTool(ToolType type, std::string key_prefix, std::shared_ptr<RegisterFile> registers) {
    switch (type) {
        case ToolType::BIAS: return std::make_shared<Imx636Biases>(std::move(key_prefix), std::move(registers));
        case ToolType::TRIGGER_IN: return std::make_shared<Imx636TriggerIn>(std::move(key_prefix), std::move(registers));
        case ToolType::ANTI_FLICKER:
            return std::make_shared<Imx636AntiFlicker>(std::move(key_prefix), std::move(registers));
        case ToolType::EVENT_TRAIL_FILTER:
            return std::make_shared<Imx636EventTrailFilter>(std::move(key_prefix), std::move(registers));
        case ToolType::EVENT_RATE_CONTROL:
            return std::make_shared<Imx636EventRateControl>(std::move(key_prefix), std::move(registers));
        case ToolType::ROI: return std::make_shared<Imx636ROI>(std::move(key_prefix), std::move(registers));
        case ToolType::APS_CTRL: break;
    }
    throw std::invalid_argument("an IMX636 camera has no tool of kind " + to_string(type));
}

constexpr std::array<ToolType, 6> kCameraToolTypes{ToolType::BIAS,
                                                   ToolType::TRIGGER_IN,
                                                   ToolType::ANTI_FLICKER,
                                                   ToolType::EVENT_TRAIL_FILTER,
                                                   ToolType::EVENT_RATE_CONTROL,
                                                   ToolType::ROI};

std::uint64_t seedOf(const std::string& serial) {
    std::uint64_t hash = 0xCBF29CE484222325ULL;
    for (const char c : serial) hash = (hash ^ static_cast<unsigned char>(c)) * 0x100000001B3ULL;
    return hash;
}

}  // namespace

struct SimulatedCamera::State {
    explicit State(const CameraDescription& camera) : description(camera), sensor(seedOf(camera.serial)) {
        for (const ToolType type : kCameraToolTypes) tools.emplace_back(type, makeTool(type, "", registers));
    }

    // Reads one at a time, with the settings as they are at the start of the read.
    sensor::SensorSettings configure() {
        const sensor::SensorSettings settings = sensor::SensorSettings::read(*registers);
        sensor.configure(settings);
        return settings;
    }

    std::mutex reading;
    // A child process refuses the camera its parent opened: another thread of the parent may
    // have held `reading` at the fork, and in the child nothing would ever release it.
    std::uint64_t opened_in_fork_generation = forkGeneration();
    CameraDescription description;
    RawEventStreamFormat format{"EVT3;height=" + std::to_string(imx636::kSensorHeight) + ";width=" +
                                  std::to_string(imx636::kSensorWidth)};
    std::shared_ptr<RegisterFile> registers = std::make_shared<RegisterFile>();
    std::vector<std::pair<ToolType, std::shared_ptr<CameraTool>>> tools;
    sensor::Sensor sensor;
    // Everything before this time has been read.
    std::uint64_t position_us = 0;
    // The raw stream's encoder keeps the time words it wrote, so that a decoder reading every
    // raw span from the first never misses a wrap of the 24-bit time.
    Evt3Encoder encoder;
    std::vector<Event2D> raw_events;
    std::vector<TriggerEvent> raw_triggers;

    // Appends what the next duration_us of sensor time holds and moves the position past it;
    // the caller holds `reading`.
    void readSpan(std::uint64_t duration_us, std::vector<Event2D>& events, std::vector<TriggerEvent>& triggers) {
        const sensor::SensorSettings settings = configure();
        const std::uint64_t end_us = position_us + duration_us;
        while (sensor.decidedUntil() < end_us) sensor.advance();
        sensor.takeBefore(end_us, events);
        if (settings.trigger_in) sensor::TriggerSource::edges(position_us, end_us, triggers);
        position_us = end_us;
    }

    void requireSameProcess() const {
        if (opened_in_fork_generation != forkGeneration()) {
            throw std::runtime_error("camera " + quotedForMessage(description.serial) +
                                     " was opened before this process was forked; open it again in this process");
        }
    }
};

std::vector<CameraDescription> discoverCameras() { return knownCameras(); }

std::shared_ptr<CameraTool> makeImx636Tool(ToolType type, std::string key_prefix) {
    return makeTool(type, std::move(key_prefix), std::make_shared<RegisterFile>());
}

std::unique_ptr<SimulatedCamera> SimulatedCamera::open(const std::string& serial) {
    const std::vector<CameraDescription>& cameras = knownCameras();
    const auto found = serial.empty() ? cameras.begin()
                                      : std::find_if(cameras.begin(), cameras.end(),
                                                     [&](const CameraDescription& camera) { return camera.serial == serial; });
    if (found == cameras.end()) throw std::invalid_argument("no camera with serial " + quotedForMessage(serial));
    return std::unique_ptr<SimulatedCamera>(new SimulatedCamera(std::make_unique<State>(*found)));
}

SimulatedCamera::SimulatedCamera(std::unique_ptr<State> state) : state_(std::move(state)) {}

SimulatedCamera::~SimulatedCamera() {
    // In a process forked while another thread of the parent read the camera, its state may be
    // half changed: the child lets it go without destroying it, as it refuses to read it.
    if (state_->opened_in_fork_generation != forkGeneration()) static_cast<void>(state_.release());
}

const CameraDescription& SimulatedCamera::description() const { return state_->description; }

const RawEventStreamFormat& SimulatedCamera::rawFormat() const { return state_->format; }

std::vector<std::shared_ptr<CameraTool>> SimulatedCamera::tools() const {
    state_->requireSameProcess();
    std::vector<std::shared_ptr<CameraTool>> tools;
    for (const auto& [type, tool] : state_->tools) tools.push_back(tool);
    return tools;
}

std::shared_ptr<CameraTool> SimulatedCamera::tool(ToolType type) const {
    state_->requireSameProcess();
    for (const auto& [tool_type, tool] : state_->tools)
        if (tool_type == type) return tool;
    return nullptr;
}

std::size_t SimulatedCamera::readEvents(Event2D* out, std::size_t n) {
    if (out == nullptr || n == 0) return 0;
    State& state = *state_;
    state.requireSameProcess();
    std::lock_guard<std::mutex> lock(state.reading);
    state.configure();
    sensor::Sensor& sensor = state.sensor;
    // Filters that pass almost nothing must not hold the caller for long: the read looks at a
    // bounded span of sensor time, and at a bounded number of the pixels' events within it.
    constexpr std::size_t kMaxSize = std::numeric_limits<std::size_t>::max();
    const std::uint64_t span_us = std::max<std::uint64_t>(n > kMaxSize / 64 ? kMaxSize : 64 * n, 1u << 20);
    const std::uint64_t give_up_us = sensor.decidedUntil() + span_us;
    const std::uint64_t give_up_fired = sensor.fired() + 16 * span_us;
    std::size_t written = sensor.take(out, n);
    while (written < n && sensor.decidedUntil() < give_up_us && sensor.fired() < give_up_fired) {
        sensor.advance();
        written += sensor.take(out + written, n - written);
    }
    if (written > 0) state.position_us = std::max(state.position_us, sensor.lastTaken());
    return written;
}

void SimulatedCamera::read(std::uint64_t duration_us, std::vector<Event2D>& events,
                           std::vector<TriggerEvent>& triggers) {
    requireReadableSpan(duration_us);
    State& state = *state_;
    state.requireSameProcess();
    std::lock_guard<std::mutex> lock(state.reading);
    state.readSpan(duration_us, events, triggers);
}

void SimulatedCamera::close() {
    closed_ = true;
    state_->registers->close("camera " + quotedForMessage(state_->description.serial) + " is closed");
}

std::uint64_t SimulatedCamera::positionUs() const {
    std::lock_guard<std::mutex> lock(state_->reading);
    return state_->position_us;
}

void SimulatedCamera::readRaw(std::uint64_t duration_us, std::vector<std::uint8_t>& out) {
    requireReadableSpan(duration_us);
    State& state = *state_;
    state.requireSameProcess();
    std::lock_guard<std::mutex> lock(state.reading);
    // The span's records are staged in buffers the camera keeps, so that reading raw bytes in
    // short slices allocates nothing once the buffers have grown.
    state.raw_events.clear();
    state.raw_triggers.clear();
    state.readSpan(duration_us, state.raw_events, state.raw_triggers);
    state.encoder.startChunk();
    state.encoder.encode(state.raw_events.data(), state.raw_events.size(), state.raw_triggers.data(),
                         state.raw_triggers.size(), state.position_us, out);
}

bool SimulatedCamera::readSlice(std::uint64_t duration_us, std::vector<Event2D>& events,
                                std::vector<TriggerEvent>& triggers) {
    while (duration_us > 0) {
        const std::uint64_t piece = std::min(duration_us, kMaxReadSpanUs);
        read(piece, events, triggers);
        duration_us -= piece;
    }
    return true;
}

}  // namespace velmo

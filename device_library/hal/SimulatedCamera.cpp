#include "ForkGeneration.h"

#include <VelmoHal/device/Imx636Biases.h>
#include <VelmoHal/device/Logger.h>
#include <VelmoHal/device/SimulatedCamera.h>
#include <VelmoHal/device/SplitMix64.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <limits>
#include <mutex>
#include <stdexcept>
#include <utility>

namespace velmo {

namespace {

constexpr std::uint64_t kMicrosecondsPerSecond = 1'000'000;
constexpr std::uint32_t kWidth = imx636::kSensorWidth;
constexpr std::uint32_t kHeight = imx636::kSensorHeight;

const std::vector<CameraDescription>& knownCameras() {
    static const std::vector<CameraDescription> cameras{
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

// A bright vertical bar that sweeps from left to right and wraps around: its leading edge
// makes ON events, its trailing edge OFF events.
struct MovingBar {
    std::uint32_t start_px;
    std::uint32_t speed_px_per_s;
    std::uint32_t width;
    std::uint32_t top;
    std::uint32_t height;
};

// The scene as a function of time plus a random stream of draws: the same seed gives the same
// events, however the stream is cut into reads.
class EventSource {
public:
    explicit EventSource(std::uint64_t seed) : random_(seed) {
        for (MovingBar& bar : bars_) {
            bar.width = 60 + random_.below(200);
            bar.speed_px_per_s = 200 + random_.below(1000);
            bar.start_px = random_.below(kWidth + bar.width);
            bar.height = 120 + random_.below(240);
            bar.top = random_.below(kHeight - bar.height + 1);
        }
    }

    Event2D next() {
        // 0, 1 or 2 us apart: about a million events per second.
        time_ += random_.below(3);
        const std::uint64_t draw = random_.next();
        Event2D event{};
        event.timestamp = time_;
        const std::uint32_t choice = draw & 15;
        if (choice < 12) {
            const MovingBar& bar = bars_[choice % bars_.size()];
            const bool leading = (draw >> 4) & 1;
            const std::uint64_t lap = kWidth + bar.width;
            const std::uint64_t front = (bar.start_px + time_ * bar.speed_px_per_s / kMicrosecondsPerSecond) % lap;
            const std::int64_t jitter = static_cast<std::int64_t>((draw >> 5) % 3) - 1;
            const std::int64_t x = static_cast<std::int64_t>(front) - (leading ? 0 : bar.width) + jitter;
            if (x >= 0 && x < kWidth) {
                event.x = static_cast<std::uint16_t>(x);
                event.y = static_cast<std::uint16_t>(bar.top + random_.below(bar.height));
                event.polarity = leading ? 1 : 0;
                return event;
            }
        }
        event.x = static_cast<std::uint16_t>(random_.below(kWidth));
        event.y = static_cast<std::uint16_t>(random_.below(kHeight));
        event.polarity = (draw >> 8) & 1;
        return event;
    }

    void skipTo(std::uint64_t timestamp) { time_ = std::max(time_, timestamp); }

private:
    SplitMix64 random_;
    std::uint64_t time_ = 0;
    std::array<MovingBar, 3> bars_{};
};

// The settings that act on the stream, read from the register file at one instant.
struct StreamSettings {
    bool roi_enabled;
    bool keep_inside;
    std::uint32_t x_begin;
    std::uint32_t x_end;
    std::uint32_t y_begin;
    std::uint32_t y_end;
    bool erc_enabled;
    std::uint64_t max_events_per_second;

    static StreamSettings read(const RegisterFile& registers) {
        // Every read_events call starts here: only these registers are copied, and their
        // addresses are made once.
        enum Register : std::size_t { kRoiEnable, kRoiMode, kRoiX, kRoiY, kRoiWidth, kRoiHeight, kErcEnable, kErcRate };
        static const std::vector<std::string> addresses{
            imx636::registerAddress(imx636::kRoiBlock, "enable"),
            imx636::registerAddress(imx636::kRoiBlock, "mode"),
            imx636::registerAddress(imx636::kRoiBlock, "x"),
            imx636::registerAddress(imx636::kRoiBlock, "y"),
            imx636::registerAddress(imx636::kRoiBlock, "x_width"),
            imx636::registerAddress(imx636::kRoiBlock, "y_height"),
            imx636::registerAddress(imx636::kEventRateControlBlock, "enable"),
            imx636::registerAddress(imx636::kEventRateControlBlock, "max_event_rate"),
        };
        const std::vector<RegisterFile::Value> values = registers.readTogether(addresses);
        const auto number = [&](Register index) {
            return static_cast<std::uint32_t>(std::get<std::int32_t>(values[index]));
        };
        const std::uint32_t x = number(kRoiX);
        const std::uint32_t y = number(kRoiY);
        return StreamSettings{
            std::get<bool>(values[kRoiEnable]),
            std::get<std::string>(values[kRoiMode]) == "ROI",
            x,
            std::min(kWidth, x + number(kRoiWidth)),
            y,
            std::min(kHeight, y + number(kRoiHeight)),
            std::get<bool>(values[kErcEnable]),
            number(kErcRate),
        };
    }

    bool insideWindow(const Event2D& event) const {
        return event.x >= x_begin && event.x < x_end && event.y >= y_begin && event.y < y_end;
    }
};

// Sets every byte of the slot, the record's fill bytes to zero, so that nothing the caller's
// memory held before is left in it.
void storeEvent(Event2D& slot, const Event2D& event) {
    std::memset(&slot, 0, sizeof slot);
    slot.x = event.x;
    slot.y = event.y;
    slot.polarity = event.polarity;
    slot.timestamp = event.timestamp;
}

}  // namespace

struct SimulatedCamera::State {
    explicit State(const CameraDescription& camera) : description(camera), source(seedOf(camera.serial)) {
        for (const ToolType type : kCameraToolTypes) tools.emplace_back(type, makeTool(type, "", registers));
    }

    std::mutex reading;
    // A child process refuses the camera its parent opened: another thread of the parent may
    // have held `reading` at the fork, and in the child nothing would ever release it.
    std::uint64_t opened_in_fork_generation = forkGeneration();
    CameraDescription description;
    RawEventStreamFormat format{"EVT3;height=720;width=1280"};
    std::shared_ptr<RegisterFile> registers = std::make_shared<RegisterFile>();
    std::vector<std::pair<ToolType, std::shared_ptr<CameraTool>>> tools;
    EventSource source;
    void requireSameProcess() const {
        if (opened_in_fork_generation != forkGeneration()) {
            throw std::runtime_error("camera " + quotedForMessage(description.serial) +
                                     " was opened before this process was forked; open it again in this process");
        }
    }

    // Events already let out in the aligned second counted_second.
    std::uint64_t counted_second = 0;
    std::uint64_t count_in_second = 0;
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

SimulatedCamera::~SimulatedCamera() = default;

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
    const StreamSettings settings = StreamSettings::read(*state.registers);
    // Filters that pass almost nothing must not hold the caller for long.
    constexpr std::size_t kMaxSize = std::numeric_limits<std::size_t>::max();
    const std::size_t candidate_budget = std::max(n > kMaxSize / 64 ? kMaxSize : 64 * n, std::size_t{1} << 20);
    std::size_t written = 0;
    for (std::size_t generated = 0; written < n && generated < candidate_budget; ++generated) {
        const Event2D event = state.source.next();
        const std::uint64_t second = event.timestamp / kMicrosecondsPerSecond;
        if (second != state.counted_second) {
            state.counted_second = second;
            state.count_in_second = 0;
        }
        if (settings.erc_enabled && state.count_in_second >= settings.max_events_per_second) {
            // The rest of this second would be dropped anyway.
            state.source.skipTo((second + 1) * kMicrosecondsPerSecond);
            continue;
        }
        if (settings.roi_enabled && settings.insideWindow(event) != settings.keep_inside) continue;
        storeEvent(out[written++], event);
        ++state.count_in_second;
    }
    return written;
}

}  // namespace velmo

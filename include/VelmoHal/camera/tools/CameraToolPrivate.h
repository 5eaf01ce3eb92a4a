#pragma once

#include <VelmoHal/camera/tools/ToolInfo.h>
#include <VelmoHal/device/CameraTool.h>
#include <VelmoHal/device/Logger.h>

#include <map>
#include <memory>
#include <string>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

namespace velmo {
class RegisterFile;  // the device object register tools share; this framework never looks into it

// Alternatives in the order of ToolParameterType's INT, FLOAT, BOOL, ENUM: a STRING
// parameter has only its basic record.
using ParameterDetail =
    std::variant<IntParameterInfo, FloatParameterInfo, BoolParameterInfo, EnumParameterInfo>;

// One parameter of a tool's registry. basic.type names the alternative that detail holds.
struct ParameterEntry {
    BasicParameterInfo basic{"NotDefined", "not defined", ToolParameterType::BOOL};
    ParameterDetail detail{BoolParameterInfo{}};
};

static_assert(std::is_same_v<std::variant_alternative_t<0, ParameterDetail>, IntParameterInfo>);
static_assert(std::is_same_v<std::variant_alternative_t<1, ParameterDetail>, FloatParameterInfo>);
static_assert(std::is_same_v<std::variant_alternative_t<2, ParameterDetail>, BoolParameterInfo>);
static_assert(std::is_same_v<std::variant_alternative_t<3, ParameterDetail>, EnumParameterInfo>);

// The file named in the registry's log lines.
inline constexpr const char* kCameraToolPrivateHeader = "camera/tools/CameraToolPrivate.h";

// Common base of concrete tools: owns the parameter registry, keyed by key_prefix followed
// by the parameter name, and answers the metadata queries from it.
class CameraToolBasePrivate : public CameraTool {
public:
    using CameraTool::CameraTool;

    // Keyed by each record's own name; of two entries with the same name, the one whose
    // registry key sorts last wins.
    std::map<std::string, BasicParameterInfo> getAllParamInfo() final {
        std::map<std::string, BasicParameterInfo> table;
        for (const auto& [key, entry] : parameters) table.insert_or_assign(entry.basic.name, entry.basic);
        return table;
    }

    bool getParamInfo(std::string name, IntParameterInfo& info) override {
        return copyDetail(std::move(name), ToolParameterType::INT, info);
    }
    bool getParamInfo(std::string name, FloatParameterInfo& info) override {
        return copyDetail(std::move(name), ToolParameterType::FLOAT, info);
    }
    bool getParamInfo(std::string name, BoolParameterInfo& info) override {
        return copyDetail(std::move(name), ToolParameterType::BOOL, info);
    }
    bool getParamInfo(std::string name, EnumParameterInfo& info) override {
        return copyDetail(std::move(name), ToolParameterType::ENUM, info);
    }

    // The two log lines below report their own source lines, 72 and 76, which callers rely on:
    // pinnedLine stops the build when an edit above moves them. A missing key and a key
    // of another type are told apart by the message; the key is logged in full, prefix
    // included, so that a wrong prefix shows.
    bool checkParamType(std::string key, ToolParameterType expected) {
        // Exact, case-sensitive match of the whole key.
        const auto found = parameters.find(key);
        if (found == parameters.end()) {
            checkLogger().log_(LogLevelType::WARNING, kCameraToolPrivateHeader, pinnedLine<__LINE__, 72>(), "Parameter %s not found", key.c_str());
            return false;
        }
        if (found->second.basic.type != expected) {
            checkLogger().log_(LogLevelType::WARNING, kCameraToolPrivateHeader, pinnedLine<__LINE__, 76>(), "Parameter %s is not of type %s",
                               key.c_str(), ToolParameterTypeToString(expected).c_str());
            return false;
        }
        return true;
    }

    template <int kLine, int kPinned>
    static constexpr int pinnedLine() {
        static_assert(kLine == kPinned, "a log line of checkParamType moved: callers read its source line");
        return kLine;
    }

protected:
    // Stores the entry under key_prefix followed by its own name, replacing an entry there.
    void registerParameter(ParameterEntry entry) {
        std::string key = key_prefix + entry.basic.name;
        parameters.insert_or_assign(std::move(key), std::move(entry));
    }

    std::map<std::string, ParameterEntry> parameters;

private:
    // One logger for the life of the process, made at the first failed check; a
    // function-local static gives the thread-safe one-time initialisation and registers its
    // destructor to run at exit.
    static Logger& checkLogger() {
        static Logger logger;
        return logger;
    }

    // std::get throws std::bad_variant_access for an entry whose detail breaks the
    // invariant; info is untouched then.
    template <typename Info>
    bool copyDetail(std::string name, ToolParameterType expected, Info& info) {
        std::string key = key_prefix + name;
        if (!checkParamType(key, expected)) return false;
        info = std::get<Info>(parameters.find(key)->second.detail);
        return true;
    }
};

// A tool that shares ownership of a device object (the camera's register file) for its life.
class CameraToolRegister : public CameraToolBasePrivate {
public:
    CameraToolRegister(std::string key_prefix, std::shared_ptr<RegisterFile> shared_handle)
        : CameraToolBasePrivate(std::move(key_prefix)), shared_handle(std::move(shared_handle)) {}

    std::shared_ptr<RegisterFile> shared_handle;
};

}  // namespace velmo

// The device library's callback-driven tool base; it needs CameraToolRegister complete.
#include <VelmoHal/device/CameraToolRegisterWithCallback.h>

#include <cstddef>
#include <cstdint>

namespace velmo {

// Registers of the IMX636 tools in a camera's register file: a parameter lives at its tool's
// block, a dot and its name ("roi.x"), so the tools of one camera never share an address.
namespace imx636 {

inline constexpr const char* kBiasesBlock = "bias";
inline constexpr const char* kTriggerInBlock = "trigger_in";
inline constexpr const char* kAntiFlickerBlock = "anti_flicker";
inline constexpr const char* kEventRateControlBlock = "erc";
inline constexpr const char* kEventTrailFilterBlock = "event_trail_filter";
inline constexpr const char* kRoiBlock = "roi";

inline constexpr std::int32_t kSensorWidth = 1280;
inline constexpr std::int32_t kSensorHeight = 720;

inline std::string registerAddress(const std::string& block, const std::string& name) {
    return block + "." + name;
}

}  // namespace imx636

class Imx636TriggerIn : public CameraToolRegisterWithCallback {
public:
    Imx636TriggerIn(std::string key_prefix, std::shared_ptr<RegisterFile> registers)
        : CameraToolRegisterWithCallback(std::move(key_prefix), std::move(registers)) {
        registerParameter(boolParameter(imx636::registerAddress(imx636::kTriggerInBlock, "enable"), "enable",
                                        "Time-stamp the edges of the external trigger input", false),
                          parameter_list);
    }

    ToolInfo getToolInfo() override {
        return {ToolType::TRIGGER_IN, {"enable"}, "Trigger in of DVS cameras with IMX636 sensors"};
    }

private:
    std::vector<ParameterEntry> parameter_list;
};

class Imx636AntiFlicker : public CameraToolRegisterWithCallback {
public:
    Imx636AntiFlicker(std::string key_prefix, std::shared_ptr<RegisterFile> registers)
        : CameraToolRegisterWithCallback(std::move(key_prefix), std::move(registers)) {
        const auto address = [this](const char* name) { return imx636::registerAddress(register_block, name); };
        registerParameter(boolParameter(address("enable"), "enable", "Filter out flickering light", false),
                          parameter_list);
        registerParameter(enumParameter(address("mode"), "mode",
                                        "BAND_STOP removes the frequency band, BAND_PASS keeps only the band",
                                        {"BAND_STOP", "BAND_PASS"}, "BAND_STOP"),
                          parameter_list);
        registerParameter(intParameter(address("low_frequency"), "low_frequency", "Lower edge of the frequency band",
                                       min_frequency_hz, max_frequency_hz, default_band.low_hz, "Hz"),
                          parameter_list);
        registerParameter(intParameter(address("high_frequency"), "high_frequency",
                                       "Upper edge of the frequency band", min_frequency_hz, max_frequency_hz,
                                       default_band.high_hz, "Hz"),
                          parameter_list);
        registerParameter(floatParameter(address("duty_cycle"), "duty_cycle",
                                         "Share of a flicker period in which the light is on", min_duty_cycle_percent,
                                         max_duty_cycle_percent, kDefaultDutyCyclePercent, "%"),
                          parameter_list);
    }

    // The full registry keys, key_prefix included, in ascending order.
    ToolInfo getToolInfo() override {
        std::vector<std::string> keys;
        for (const auto& [key, entry] : parameters) keys.push_back(key);
        return {ToolType::ANTI_FLICKER, keys, "Anti flicker of DVS cameras with IMX636 sensor."};
    }

private:
    struct FrequencyBand {
        std::int32_t low_hz;
        std::int32_t high_hz;
    };
    static constexpr float kDefaultDutyCyclePercent = 50.0f;

    // The band the sensor's filter can be tuned to.
    std::int32_t min_frequency_hz = 50;
    std::int32_t max_frequency_hz = 520;
    float min_duty_cycle_percent = 0.0f;
    float max_duty_cycle_percent = 100.0f;
    std::string register_block = imx636::kAntiFlickerBlock;
    // Mains light flickers at twice 50 Hz or 60 Hz; the default band stops both.
    FrequencyBand default_band{90, 130};
    std::vector<ParameterEntry> parameter_list;
};

class Imx636EventRateControl : public CameraToolRegisterWithCallback {
public:
    Imx636EventRateControl(std::string key_prefix, std::shared_ptr<RegisterFile> registers)
        : CameraToolRegisterWithCallback(std::move(key_prefix), std::move(registers)) {
        const RateLimits& limits = rate_limits.at("EVT3").at(counting_period_us);
        const std::string block = imx636::kEventRateControlBlock;
        registerParameter(boolParameter(imx636::registerAddress(block, "enable"), "enable",
                                        "Drop the events beyond max_event_rate, spread over every 200 us period", false),
                          parameter_list);
        registerParameter(intParameter(imx636::registerAddress(block, "max_event_rate"), "max_event_rate",
                                       "Most events let through in one second", static_cast<std::int32_t>(limits.min),
                                       static_cast<std::int32_t>(limits.max), kDefaultMaxEventRate, "ev/s"),
                          parameter_list);
    }

    ToolInfo getToolInfo() override {
        return {ToolType::EVENT_RATE_CONTROL, {"enable", "max_event_rate"}, "ERC of DVS cameras with IMX636 sensor"};
    }

private:
    // The lowest and highest rate, in events per second, that the controller can hold.
    struct RateLimits {
        std::int64_t min;
        std::int64_t max;
    };
    // Well above what the simulated sensor sees, so that enabling alone drops nothing.
    static constexpr std::int32_t kDefaultMaxEventRate = 20'000'000;

    // The controller counts events over aligned windows of this length.
    std::int64_t counting_period_us = 1'000'000;
    // By stream encoding, then by counting period in microseconds: a shorter period reacts
    // faster, but its per-period budget cannot go as low.
    std::map<std::string, std::map<std::int64_t, RateLimits>> rate_limits{
        {"EVT3", {{1'000, {1'000'000, 1'000'000'000}}, {1'000'000, {10'000, 1'000'000'000}}}}};
    std::vector<ParameterEntry> parameter_list;

    static_assert(sizeof(decltype(rate_limits)::mapped_type::value_type) == 24);
    static_assert(std::is_trivially_destructible_v<decltype(rate_limits)::mapped_type::value_type>);
};

class Imx636EventTrailFilter : public CameraToolRegisterWithCallback {
public:
    Imx636EventTrailFilter(std::string key_prefix, std::shared_ptr<RegisterFile> registers)
        : CameraToolRegisterWithCallback(std::move(key_prefix), std::move(registers)) {
        const auto address = [this](const char* name) { return imx636::registerAddress(register_block, name); };
        registerParameter(boolParameter(address("enable"), "enable", "Filter out bursts and trails of events", false),
                          parameter_list);
        registerParameter(intParameter(address("threshold"), "threshold",
                                       "Time within which a pixel's next event counts as part of a trail",
                                       threshold_limits.min_us, threshold_limits.max_us,
                                       static_cast<std::int32_t>(default_threshold_us), "us"),
                          parameter_list);
        registerParameter(enumParameter(address("type"), "type",
                                        "TRAIL keeps the first event of a burst, STC_CUT_TRAIL the second, "
                                        "STC_KEEP_TRAIL the second and the rest of the trail",
                                        filter_types, filter_types.front()),
                          parameter_list);
    }

    ToolInfo getToolInfo() override {
        return {ToolType::EVENT_TRAIL_FILTER, {"enable", "threshold", "type"},
                "Event Trail Filter of DVS cameras with IMX636 sensor"};
    }

private:
    struct ThresholdLimits {
        std::int32_t min_us;
        std::int32_t max_us;
    };

    ThresholdLimits threshold_limits{1'000, 100'000};
    std::string register_block = imx636::kEventTrailFilterBlock;
    std::int64_t default_threshold_us = 10'000;
    std::vector<std::string> filter_types{"TRAIL", "STC_CUT_TRAIL", "STC_KEEP_TRAIL"};
    std::vector<ParameterEntry> parameter_list;
};

class Imx636ROI : public CameraToolRegisterWithCallback {
public:
    Imx636ROI(std::string key_prefix, std::shared_ptr<RegisterFile> registers)
        : CameraToolRegisterWithCallback(std::move(key_prefix), std::move(registers)) {
        const auto address = [this](const char* name) { return imx636::registerAddress(register_block, name); };
        registerParameter(boolParameter(address("enable"), "enable", "Filter events by the window", false),
                          parameter_list);
        registerParameter(enumParameter(address("mode"), "mode",
                                        "ROI keeps the events inside the window, RONI those outside it", modes,
                                        modes.front()),
                          parameter_list);
        registerParameter(intParameter(address("x"), "x", "Left column of the window", 0, sensor.width - 1,
                                       default_window.x, "px"),
                          parameter_list);
        registerParameter(intParameter(address("y"), "y", "Top row of the window", 0, sensor.height - 1,
                                       default_window.y, "px"),
                          parameter_list);
        registerParameter(intParameter(address("x_width"), "x_width",
                                       "Width of the window; the sensor's edge cuts it short", 1, sensor.width,
                                       default_window.width, "px"),
                          parameter_list);
        registerParameter(intParameter(address("y_height"), "y_height",
                                       "Height of the window; the sensor's edge cuts it short", 1, sensor.height,
                                       default_window.height, "px"),
                          parameter_list);
    }

    ToolInfo getToolInfo() override {
        return {ToolType::ROI, {"enable", "mode", "x", "y", "x_width", "y_height"},
                "ROI of DVS cameras with IMX636 sensor"};
    }

private:
    struct SensorSize {
        std::int32_t width;
        std::int32_t height;
    };
    struct Window {
        std::int32_t x;
        std::int32_t y;
        std::int32_t width;
        std::int32_t height;
    };

    SensorSize sensor{imx636::kSensorWidth, imx636::kSensorHeight};
    std::string register_block = imx636::kRoiBlock;
    std::vector<std::string> modes{"ROI", "RONI"};
    Window default_window{0, 0, sensor.width, sensor.height};
    std::vector<ParameterEntry> parameter_list;
};

// The layouts other code is compiled against: the registry base at the start of every tool,
// then the tool's own fields, scalar groups of 8 and 16 bytes, without padding on 64-bit
// targets.
namespace detail {

template <typename Tool>
inline constexpr bool kIsImx636Tool = std::is_base_of_v<CameraToolRegisterWithCallback, Tool> &&
                                      std::is_polymorphic_v<Tool> && !std::is_abstract_v<Tool> &&
                                      std::has_virtual_destructor_v<Tool>;

inline constexpr std::size_t kToolBaseSize = sizeof(CameraToolRegisterWithCallback);
inline constexpr std::size_t kListSize = sizeof(std::vector<ParameterEntry>);

}  // namespace detail

static_assert(detail::kIsImx636Tool<Imx636TriggerIn> && detail::kIsImx636Tool<Imx636AntiFlicker> &&
              detail::kIsImx636Tool<Imx636EventRateControl> && detail::kIsImx636Tool<Imx636EventTrailFilter> &&
              detail::kIsImx636Tool<Imx636ROI>);
static_assert(sizeof(CameraToolRegisterWithCallback) == sizeof(CameraToolRegister),
              "CameraToolRegisterWithCallback adds no field");
static_assert(sizeof(Imx636TriggerIn) == detail::kToolBaseSize + detail::kListSize);
static_assert(sizeof(Imx636AntiFlicker) == detail::kToolBaseSize + 16 + sizeof(std::string) + 8 + detail::kListSize);
static_assert(sizeof(Imx636EventRateControl) ==
              detail::kToolBaseSize + 8 + sizeof(std::map<std::string, std::map<std::int64_t, std::int64_t>>) +
                  detail::kListSize);
static_assert(sizeof(Imx636EventTrailFilter) == detail::kToolBaseSize + 8 + sizeof(std::string) + 8 +
                                                    sizeof(std::vector<std::string>) + detail::kListSize);
static_assert(sizeof(Imx636ROI) == detail::kToolBaseSize + 8 + sizeof(std::string) +
                                       sizeof(std::vector<std::string>) + 16 + detail::kListSize);

}  // namespace velmo

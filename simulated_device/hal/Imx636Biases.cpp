#include <VelmoHal/device/Imx636Biases.h>

namespace velmo {

namespace {

struct BiasRange {
    const char* name;
    const char* description;
    std::int32_t min;
    std::int32_t max;
};

// Offsets from the factory setting that keep the sensor's front end in its working range.
constexpr BiasRange kBiases[] = {
    {"bias_diff_on", "Contrast threshold for ON events; higher means fewer ON events", -85, 140},
    {"bias_diff_off", "Contrast threshold for OFF events; higher means fewer OFF events", -35, 190},
    {"bias_fo", "Low-pass filter of the photoreceptor; higher passes faster changes", -35, 55},
    {"bias_hpf", "High-pass filter; higher removes slower changes", 0, 120},
    {"bias_refr", "Refractory period after an event; higher means a shorter period", -20, 235},
};

}  // namespace

Imx636Biases::Imx636Biases(std::string key_prefix, std::shared_ptr<RegisterFile> registers)
    : CameraToolRegisterWithCallback(std::move(key_prefix), std::move(registers)) {
    for (const BiasRange& bias : kBiases)
        registerParameter(intParameter(imx636::registerAddress(imx636::kBiasesBlock, bias.name), bias.name,
                                       bias.description, bias.min, bias.max, 0, ""),
                          parameter_list);
}

Imx636Biases::~Imx636Biases() = default;

ToolInfo Imx636Biases::getToolInfo() {
    ToolInfo info{ToolType::BIAS, {}, "Biases of DVS cameras with IMX636 sensor"};
    for (const ParameterEntry& entry : parameter_list) info.parameter_names.push_back(entry.basic.name);
    return info;
}

}  // namespace velmo

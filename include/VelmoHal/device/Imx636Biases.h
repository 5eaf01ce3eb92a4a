#pragma once

#include <VelmoHal/camera/tools/CameraToolPrivate.h>

namespace velmo {

// The IMX636 analog front-end biases, as INT offsets from the sensor's factory settings.
class Imx636Biases : public CameraToolRegisterWithCallback {
public:
    Imx636Biases(std::string key_prefix, std::shared_ptr<RegisterFile> registers);
    ~Imx636Biases() override;

    ToolInfo getToolInfo() override;

private:
    std::vector<ParameterEntry> parameter_list;
};

}  // namespace velmo

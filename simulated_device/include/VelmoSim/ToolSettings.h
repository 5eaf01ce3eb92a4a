#pragma once

#include <VelmoCodec/Recording.h>
#include <VelmoHal/device/CameraTool.h>

#include <memory>
#include <vector>

namespace velmo {

// Every parameter of the tools as the tools read it now, in the form a recording's header
// keeps: what Camera.settings() shows and what a recording of the camera stores.
std::vector<RecordedSetting> recordedSettings(const std::vector<std::shared_ptr<CameraTool>>& tools);

}  // namespace velmo

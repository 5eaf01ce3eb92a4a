#pragma once

#include <VelmoCodec/RawFormat.h>
#include <VelmoCodec/RecordingHeader.h>
#include <VelmoHal/device/RawEventStreamFormat.h>
#include <VelmoSim/SimulatedCamera.h>

#include <optional>
#include <string>

namespace velmo::sim {

// The codec's view of a device library's format: its encoding, and the sensor's height and
// width where it gives them.
inline RawFormat codecFormat(const RawEventStreamFormat& format) {
    return RawFormat::of(format.getEncodingTypeStr(), [&](const std::string& name) {
        return format.contains(name) ? std::optional<std::string>(format[name]) : std::nullopt;
    });
}

// The header of a recording of the camera from now on: its description, format and settings
// now, and the time; start_us is the camera's position.
RecordingHeader cameraRecordingHeader(const SimulatedCamera& camera);

}  // namespace velmo::sim

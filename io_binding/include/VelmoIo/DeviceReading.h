#pragma once

#include <VelmoCodec/RecordingHeader.h>
#include <VelmoCodec/SliceSource.h>

#include <pybind11/pybind11.h>

#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <utility>

namespace velmo::io {

// What velmo._io lends the modules of devices (velmo.sim): streams of a device's slices, and
// the rule that a device has one reader besides its own short calls. One registry of readers
// serves the devices of every module, so the modules reach it through velmo._io's capsule
// (deviceReading()) and never compile it twice. Every function is called with the interpreter
// lock held.
struct DeviceReading {
    // A velmo.io.Stream of source's slices read for `owner`, the Python object that owns the
    // device, whose native object is `device` and which messages call `what` ("camera X").
    // The stream keeps the owner alive while it is open; header describes the device for
    // Stream.record_to. ValueError naming a wrong argument; RuntimeError while the device has
    // another reader.
    pybind11::object (*stream)(pybind11::object owner, const void* device, std::string what,
                               std::shared_ptr<SliceSource> source, std::int64_t slice_us, bool realtime,
                               std::int64_t max_backlog, std::function<RecordingHeader()> header);
    // RuntimeError, saying what reads the device and how that ends, while it has a reader.
    void (*requireNoOtherReader)(const void* device);
    // Holds the device for a reader that is no stream; its other reads raise RuntimeError with
    // `refusal` until release().
    void (*claim)(const void* device, std::string refusal);
    void (*release)(const void* device);
    // Closes the device's stream, if it has one: for a device that is itself closed.
    void (*closeStreamOf)(const void* device);
};

// What a stream queues when its reader does not say: 16 slices, 160 ms at the default 10 ms
// slice, about 2.5 MB at the camera's default settings.
inline constexpr std::int64_t kDefaultMaxBacklog = 16;

inline constexpr const char* kDeviceReadingName = "velmo._io._device_reading";

// Set by loadDeviceReading() when the device's module starts.
inline const DeviceReading*& deviceReadingSlot() {
    static const DeviceReading* api = nullptr;
    return api;
}

// Imports velmo._io and takes its functions: the device's module calls this first thing.
inline void loadDeviceReading() {
    const pybind11::capsule capsule = pybind11::module_::import("velmo._io").attr("_device_reading");
    // A capsule of another layout would be called into blindly: its name must say what it holds.
    if (capsule.name() == nullptr || std::strcmp(capsule.name(), kDeviceReadingName) != 0)
        throw pybind11::import_error("velmo._io._device_reading is not the capsule of this build's velmo._io");
    deviceReadingSlot() = capsule.get_pointer<DeviceReading>();
}

inline const DeviceReading& deviceReading() { return *deviceReadingSlot(); }

// Holds the device for a reader that is no stream, from construction to destruction (see
// DeviceReading::claim).
class ReaderClaim {
public:
    ReaderClaim(const void* device, std::string refusal) : device_(device) {
        deviceReading().claim(device, std::move(refusal));
    }
    ~ReaderClaim() { deviceReading().release(device_); }
    ReaderClaim(const ReaderClaim&) = delete;
    ReaderClaim& operator=(const ReaderClaim&) = delete;

private:
    const void* device_;
};

// A velmo._io.Stream as a device's module hands it out, typed as one in its signatures.
struct StreamObject {
    pybind11::object stream;
};

}  // namespace velmo::io

namespace pybind11::detail {

template <>
struct type_caster<velmo::io::StreamObject> {
    PYBIND11_TYPE_CASTER(velmo::io::StreamObject, const_name("velmo._io.Stream"));

    bool load(handle, bool) { return false; }

    static handle cast(const velmo::io::StreamObject& source, return_value_policy, handle) {
        return source.stream.inc_ref();
    }
};

}  // namespace pybind11::detail

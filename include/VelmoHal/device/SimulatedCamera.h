#pragma once

#include <VelmoBase/Event2D.h>
#include <VelmoHal/camera/tools/CameraToolPrivate.h>
#include <VelmoHal/device/CameraDescription.h>
#include <VelmoHal/device/RawEventStreamFormat.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace velmo {

// Every IMX636 camera that discovery finds, in a fixed order.
std::vector<CameraDescription> discoverCameras();

// A fresh IMX636 tool of the given kind on its own register file (BIAS gives Imx636Biases).
// Throws std::invalid_argument for a kind without an IMX636 tool (APS_CTRL, or a value
// without an enumerator).
std::shared_ptr<CameraTool> makeImx636Tool(ToolType type, std::string key_prefix);

// A simulated IMX636 camera: a 1280 x 720 sensor with a deterministic synthetic event stream
// (a few moving edges and some noise, time stamps in microseconds) and the six IMX636 tools
// over one register file. The ROI and event rate control settings act on the stream.
class SimulatedCamera {
public:
    // Opens the camera with this serial, or the first one for an empty serial; throws
    // std::invalid_argument naming an unknown serial.
    static std::unique_ptr<SimulatedCamera> open(const std::string& serial);
    ~SimulatedCamera();

    const CameraDescription& description() const;
    const RawEventStreamFormat& rawFormat() const;

    // The six tools in ToolType order; the same objects for the camera's whole life.
    std::vector<std::shared_ptr<CameraTool>> tools() const;
    // Null for a kind the camera lacks.
    std::shared_ptr<CameraTool> tool(ToolType type) const;

    // Writes the next events of the stream, as the tools' settings let them through, into
    // out[0 .. n). Returns how many were written: n, unless the filters pass so few events
    // that a bounded amount of generation cannot find n of them. Every byte of a written
    // record is set, its fill bytes to zero; out[written .. n) is left as it was.
    std::size_t readEvents(Event2D* out, std::size_t n);

    // A closed camera is one its user is done with: the callers refuse to read from it.
    void close() { closed_ = true; }
    bool isClosed() const { return closed_; }

private:
    struct State;
    explicit SimulatedCamera(std::unique_ptr<State> state);
    std::unique_ptr<State> state_;
    std::atomic<bool> closed_{false};
};

}  // namespace velmo

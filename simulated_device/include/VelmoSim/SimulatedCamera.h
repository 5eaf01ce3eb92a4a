#pragma once

#include <VelmoBase/Event2D.h>
#include <VelmoCodec/SliceSource.h>
#include <VelmoCodec/TriggerEvent.h>
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

// A simulated IMX636 camera: a 1280 x 720 sensor in front of a deterministic scene (three
// sweeping bars, a lamp flickering at 100 Hz, background noise, and a 100 Hz square wave on
// trigger channel 0), time stamps in microseconds, and the six IMX636 tools over one register
// file. Every tool acts on the stream: the biases on the pixels, then ROI, anti-flicker, the
// trail filter and event rate control in that order. The settings are read at the start of
// each read; the same serial with the same settings gives the same events however the stream
// is split into read and readEvents calls, which share one stream position.
class SimulatedCamera : public SliceSource {
public:
    // Opens the camera with this serial, or the first one for an empty serial; throws
    // std::invalid_argument naming an unknown serial.
    static std::unique_ptr<SimulatedCamera> open(const std::string& serial);
    ~SimulatedCamera() override;

    const CameraDescription& description() const;
    const RawEventStreamFormat& rawFormat() const;

    // A process forked after open() cannot use the camera: tools(), tool() and the reads
    // throw std::runtime_error there, saying to open the camera again.

    // The six tools in ToolType order; the same objects for the camera's whole life.
    std::vector<std::shared_ptr<CameraTool>> tools() const;
    // Null for a kind the camera lacks.
    std::shared_ptr<CameraTool> tool(ToolType type) const;

    // Writes the next events of the stream, as the tools' settings let them through, into
    // out[0 .. n). Returns how many were written: n, unless the filters pass so few events
    // that a bounded amount of generation (the next max(64 n, 2^20) us of sensor time) cannot
    // find n of them. Every byte of a written record is set, its fill bytes to zero;
    // out[written .. n) is left as it was. The stream position moves to the last event
    // written; the trigger edges before it are not reported by any later read.
    std::size_t readEvents(Event2D* out, std::size_t n);

    // Appends the events and, when trigger input is enabled, the trigger edges of the next
    // duration_us of sensor time, and moves the stream position by exactly that span. Throws
    // std::invalid_argument for a span longer than kMaxReadSpanUs, and then changes nothing.
    void read(std::uint64_t duration_us, std::vector<Event2D>& events, std::vector<TriggerEvent>& triggers);

    // Appends the raw EVT3 bytes of the next duration_us of sensor time: the events and trigger
    // edges that read() would give for the span, encoded. Each call's bytes start with the words
    // that set the time and the row, so they decode on their own; a decoder that reads every
    // call's bytes in order, from the stream's start, gets exactly read()'s records, time
    // stamps included. Throws as read() does.
    void readRaw(std::uint64_t duration_us, std::vector<std::uint8_t>& out);

    // The sensor time the next read() starts at.
    std::uint64_t positionUs() const override;

    // read() for a span of any length, in pieces; a camera never ends, so always true.
    bool readSlice(std::uint64_t duration_us, std::vector<Event2D>& events,
                   std::vector<TriggerEvent>& triggers) override;

    // A closed camera is one its user is done with: the callers refuse to read from it, and
    // its tools refuse every read and write of a parameter.
    void close();
    bool isClosed() const { return closed_; }

private:
    struct State;
    explicit SimulatedCamera(std::unique_ptr<State> state);
    std::unique_ptr<State> state_;
    std::atomic<bool> closed_{false};
};

}  // namespace velmo

#pragma once

#include <VelmoHal/device/CameraDescription.h>
#include <VelmoHal/device/ToolTypes.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// A recording file is a short text header, then the camera's raw EVT3 bytes as it delivered
// them. The header is written first and the data in order, straight to the file, so that a
// recording whose writer died is still readable up to its last complete word; finishing the
// writer fills in two fixed-width header fields (the data's size and the recorded end), which
// is how a reader tells a finished recording from one cut short.
//
//   VELMO EVENT RECORDING
//   version: 1
//   raw-format: EVT3;height=720;width=1280
//   serial: ... / product: ... / manufacturer: ... / vid: ... / pid: ... / interface: ...
//   recorded-at: 2026-12-08T17:50:00Z
//   start-us: 0
//   setting: BIAS bias_diff_on int 0          (one line per tool parameter)
//   data-bytes: unfinished | 20 digits
//   end-us: unfinished | 20 digits
//   end-header
//
// Finishing also appends the recording's index to the data (RecordingIndex.h): words that
// every decoder skips, so that files without one, and readers that know nothing of it, work
// as before.
namespace velmo {

struct RecordedSetting {
    std::string tool;   // the tool's kind, as to_string(ToolType) spells it
    std::string name;   // the parameter's name
    ToolParameterType type{};
    std::string value;  // as text: decimal, "%.9g", true/false, or the option itself
};

struct RecordingHeader {
    static constexpr int kFormatVersion = 1;

    int version = kFormatVersion;
    std::string raw_format;
    CameraDescription camera;
    std::vector<RecordedSetting> settings;
    std::string recorded_at;  // UTC, ISO 8601
    // Sensor time of the first recorded microsecond: time stamps are the camera's own.
    std::uint64_t start_us = 0;
    // Both set once the writer finished the file; missing in a recording cut short.
    std::optional<std::uint64_t> data_bytes;
    std::optional<std::uint64_t> end_us;
};

// The current time as the header's recorded-at value.
std::string utcTimestampNow();

// The first line of every recording.
inline constexpr std::string_view kRecordingMagicLine = "VELMO EVENT RECORDING";
// A header is a few hundred bytes; anything much longer is not one.
inline constexpr std::size_t kMaxRecordingHeaderBytes = 64 * 1024;

// The header's text with data-bytes and end-us unfinished, and where those two values start.
struct RecordingHeaderText {
    std::string text;
    std::size_t data_bytes_at = 0;
    std::size_t end_us_at = 0;
};

// Throws std::invalid_argument for a value holding a line break, or a setting whose tool or
// name holds a space.
RecordingHeaderText recordingHeaderText(const RecordingHeader& header);

// The fixed-width text that replaces "unfinished" in data-bytes or end-us when the writer
// finishes.
std::string finishedHeaderField(std::uint64_t value);

// The header that `text` (a file's first kMaxRecordingHeaderBytes, or all of a shorter file)
// begins with, and the bytes it takes. Throws std::invalid_argument naming the path for a file
// that is not a recording, of a newer format version, or with a malformed header.
RecordingHeader parseRecordingHeader(const std::string& path, const std::string& text, std::size_t& header_bytes);

}  // namespace velmo

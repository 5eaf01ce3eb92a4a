#include "Buffers.h"
#include "IoBindings.h"

#include <VelmoBase/Event2D.h>
#include <VelmoBinding/Gil.h>
#include <VelmoBinding/ModuleEntry.h>
#include <VelmoBinding/NativeObjects.h>
#include <VelmoCodec/Evt3Decoder.h>
#include <VelmoCodec/Evt3Encoder.h>
#include <VelmoCodec/Evt3Words.h>
#include <VelmoCodec/RawFileHeader.h>
#include <VelmoCodec/Recording.h>
#include <VelmoCodec/TriggerEvent.h>
#include <VelmoIo/Arguments.h>

#include <pybind11/stl.h>
#include <pybind11/stl/filesystem.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace py = pybind11;
namespace fs = std::filesystem;

namespace {

// An EVT3 format given as raw_format, and the sensor it describes.
struct Sensor {
    std::string format;
    std::uint32_t width;
    std::uint32_t height;
};

Sensor sensorOf(const velmo::io::FormatArgument& raw_format) {
    const std::optional<velmo::RawFormat> format = velmo::io::formatOf(raw_format);
    if (!format) throw py::type_error("raw_format must be a RawEventStreamFormat or its text, got None");
    if (!format->isEvt3())
        throw py::value_error("raw_format: cannot write the encoding \"" + format->encoding() + "\" (only EVT3)");
    return Sensor{format->text(), velmo::evt3::sizeOrAddressRange(format->width()),
                  velmo::evt3::sizeOrAddressRange(format->height())};
}

// Trigger edges, or none for None.
py::array_t<velmo::TriggerEvent, py::array::c_style> triggerArray(py::handle triggers) {
    if (triggers.is_none()) return py::array_t<velmo::TriggerEvent, py::array::c_style>(0);
    return velmo::io::recordArray<velmo::TriggerEvent>(triggers, "triggers");
}

py::bytes encode(py::handle events_argument, py::handle triggers_argument, const velmo::io::FormatArgument& raw_format) {
    const Sensor sensor = sensorOf(raw_format);
    const auto events = velmo::io::recordArray<velmo::Event2D>(events_argument, "events");
    const auto triggers = triggerArray(triggers_argument);
    const auto event_count = static_cast<std::size_t>(events.size());
    const auto trigger_count = static_cast<std::size_t>(triggers.size());
    std::uint64_t end_us = 0;
    if (event_count > 0) end_us = events.data()[event_count - 1].timestamp;
    if (trigger_count > 0) end_us = std::max(end_us, triggers.data()[trigger_count - 1].timestamp);
    velmo::Evt3Encoder encoder;
    encoder.setSensor(sensor.width, sensor.height);
    // Encoded straight into the bytes object, which is then cut to the size written: no copy.
    PyObject* bytes = PyBytes_FromStringAndSize(nullptr, static_cast<py::ssize_t>(
                                                             encoder.maxBytes(event_count, trigger_count, end_us)));
    if (bytes == nullptr) throw py::error_already_set();
    auto owned = py::reinterpret_steal<py::object>(bytes);
    std::size_t written = 0;
    {
        velmo::binding::ReleasedGil released;
        written = encoder.encodeInto(events.data(), event_count, triggers.data(), trigger_count, end_us,
                                     reinterpret_cast<std::uint8_t*>(PyBytes_AS_STRING(bytes)));
    }
    PyObject* resized = owned.release().ptr();
    if (_PyBytes_Resize(&resized, static_cast<py::ssize_t>(written)) != 0) throw py::error_already_set();
    return py::reinterpret_steal<py::bytes>(resized);
}

// A setting's value as the header writes it.
velmo::RecordedSetting recordedSetting(const std::string& tool, const std::string& name, py::handle value) {
    velmo::RecordedSetting setting{tool, name, velmo::ToolParameterType::STRING, ""};
    if (py::isinstance<py::bool_>(value)) {
        setting.type = velmo::ToolParameterType::BOOL;
        setting.value = value.cast<bool>() ? "true" : "false";
    } else if (py::isinstance<py::int_>(value)) {
        setting.type = velmo::ToolParameterType::INT;
        setting.value = std::to_string(value.cast<long long>());
    } else if (py::isinstance<py::float_>(value)) {
        setting.type = velmo::ToolParameterType::FLOAT;
        char text[32];
        std::snprintf(text, sizeof text, "%.9g", value.cast<double>());
        setting.value = text;
    } else if (py::isinstance<py::str>(value)) {
        setting.value = value.cast<std::string>();
    } else {
        throw py::type_error("settings[\"" + tool + "\"][\"" + name + "\"] must be a bool, int, float or str, got " +
                             std::string(py::str(py::type::handle_of(value).attr("__name__"))));
    }
    return setting;
}

std::vector<velmo::RecordedSetting> recordedSettings(const std::optional<velmo::io::SettingsArgument>& settings) {
    std::vector<velmo::RecordedSetting> recorded;
    if (!settings) return recorded;
    for (const auto& [tool, parameters] : *settings) {
        if (!py::isinstance<py::str>(tool) || !py::isinstance<py::dict>(parameters))
            throw py::type_error("settings must map tool kinds (str) to {parameter: value} dicts");
        for (const auto& [name, value] : parameters.cast<py::dict>()) {
            if (!py::isinstance<py::str>(name)) throw py::type_error("settings: parameter names must be str");
            recorded.push_back(recordedSetting(tool.cast<std::string>(), name.cast<std::string>(), value));
        }
    }
    return recorded;
}

// velmo.io.RecordingWriter: a recording from any source, raw bytes or records, but not both,
// since encoded records would rely on a decoder state that raw bytes have moved. Native work
// runs with the interpreter lock released and the writer's own lock held.
class Writer {
public:
    Writer(const velmo::io::PathArgument& path_argument, const velmo::io::FormatArgument& raw_format,
           const std::optional<velmo::CameraDescription>& description, const std::optional<velmo::io::SettingsArgument>& settings,
           bool overwrite)
        : path_(velmo::io::pathOf(path_argument)), sensor_(sensorOf(raw_format)) {
        velmo::RecordingHeader header;
        header.raw_format = sensor_.format;
        if (description) header.camera = *description;
        header.settings = recordedSettings(settings);
        header.recorded_at = velmo::utcTimestampNow();
        velmo::io::withFileErrors(path_, [&] {
            velmo::binding::ReleasedGil released;
            writer_ = std::make_unique<velmo::RecordingWriter>(path_.string(), header, overwrite);
        });
    }

    ~Writer() {
        try {
            if (writer_ && !closed_) writer_->finish();
        } catch (const std::exception&) {
        }
    }

    void writeRaw(py::handle data) {
        const velmo::io::ByteView bytes(data);
        run(Mode::Raw, [&] { writer_->appendRaw(bytes.data(), bytes.size()); });
    }

    void write(py::handle events_argument, py::handle triggers_argument) {
        const auto events = velmo::io::recordArray<velmo::Event2D>(events_argument, "events");
        const auto triggers = triggerArray(triggers_argument);
        run(Mode::Records, [&] {
            writer_->appendRecords(events.data(), static_cast<std::size_t>(events.size()), triggers.data(),
                                   static_cast<std::size_t>(triggers.size()), sensor_.width, sensor_.height);
        });
    }

    void close() {
        velmo::io::withFileErrors(path_, [&] {
            velmo::binding::ReleasedGil released;
            std::lock_guard<std::mutex> lock(mutex_);
            if (closed_) return;
            closed_ = true;
            writer_->finish();
        });
    }

    const fs::path& path() const { return path_; }
    bool closed() const { return closed_; }
    void requireOpen() const {
        if (closed_) throw py::value_error(closedMessage());
    }

private:
    enum class Mode { Unwritten, Raw, Records };

    template <typename Action>
    void run(Mode mode, Action&& action) {
        velmo::io::withFileErrors(path_, [&] {
            velmo::binding::ReleasedGil released;
            std::lock_guard<std::mutex> lock(mutex_);
            if (closed_) throw std::invalid_argument(closedMessage());
            if (mode_ != Mode::Unwritten && mode_ != mode)
                throw std::invalid_argument("a recording writer takes either raw bytes (write_raw) or records (write), "
                                            "not both");
            action();
            mode_ = mode;
        });
    }

    std::string closedMessage() const { return "the recording writer of " + path_.string() + " is closed"; }

    fs::path path_;
    Sensor sensor_;
    std::mutex mutex_;
    std::unique_ptr<velmo::RecordingWriter> writer_;
    Mode mode_ = Mode::Unwritten;
    std::atomic<bool> closed_{false};
};

}  // namespace

void bindIoWriting(py::module_& module) {
    module.def("encode", &encode,
               "EVT3 bytes of the events (and trigger edges), which decode to exactly these records. Each array in "
               "time order; ValueError naming the first record out of order, outside raw_format's sensor, or "
               "otherwise not encodable.",
               py::arg("events"), py::arg("triggers") = py::none(), py::kw_only(), py::arg("raw_format"));

    py::class_<Writer> writer(module, "RecordingWriter",
                              "Writes a recording file from any source: raw EVT3 bytes (write_raw) or records (write), "
                              "with the header a camera's recording has. The file is readable at every moment; "
                              "close() (or leaving the with block) finishes it with its size, end and index.",
                              velmo::binding::guardedNativeObject());
    velmo::binding::refuseCopies(writer, "it holds an open file");
    velmo::binding::closesOnExit(writer, [](const Writer& self) { self.requireOpen(); }, [](Writer& self) { self.close(); });
    writer
        .def(py::init<const velmo::io::PathArgument&, const velmo::io::FormatArgument&,
                      const std::optional<velmo::CameraDescription>&, const std::optional<velmo::io::SettingsArgument>&, bool>(),
             "Creates the file and writes its header: raw_format (EVT3), description (a CameraDescription) and "
             "settings ({tool kind: {parameter: value}}) as given. FileExistsError when it exists, unless overwrite.",
             py::arg("path"), py::kw_only(), py::arg("raw_format"), py::arg("description") = py::none(),
             py::arg("settings") = py::none(), py::arg("overwrite") = false)
        .def("write_raw", &Writer::writeRaw, "Appends EVT3 bytes as they are (any contiguous buffer).", py::arg("data"))
        .def("write", &Writer::write,
             "Appends the records, encoded; each array in time order, from where the last call's ended on. ValueError "
             "naming the first record that cannot be encoded, writing nothing.",
             py::arg("events"), py::arg("triggers") = py::none())
        .def("close", &Writer::close, "Finishes the file; closing twice is harmless.")
        .def_property_readonly("path", [](const Writer& self) { return self.path().string(); }, "The file's path.")
        .def_property_readonly("closed", &Writer::closed, "Whether close() has finished the file.");
}

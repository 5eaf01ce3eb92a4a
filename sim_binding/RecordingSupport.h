#pragma once

#include <VelmoCodec/Recording.h>
#include <VelmoSim/SimulatedCamera.h>

#include <pybind11/pybind11.h>

#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <system_error>
#include <variant>
#include <vector>

namespace velmo::sim {

// A file's path as Python gives it: a text, bytes, or an os.PathLike such as pathlib.Path,
// turned into the system's bytes as os.fsencode does.
struct PathArgument {
    std::filesystem::path path;
};

inline std::filesystem::path pathOf(const PathArgument& path) { return path.path; }

// The path as Python names files: the system's bytes, decoded as os.fsdecode does, so that a
// name that is not UTF-8 still round-trips.
inline pybind11::str pathText(const std::filesystem::path& path) {
    const std::string& bytes = path.native();
    return pybind11::reinterpret_steal<pybind11::str>(
        PyUnicode_DecodeFSDefaultAndSize(bytes.data(), static_cast<Py_ssize_t>(bytes.size())));
}

// A raw_format argument: a RawEventStreamFormat, its text, or None.
using FormatArgument = std::optional<std::variant<std::string, RawEventStreamFormat>>;

// The codec's view of a device library's format: its encoding, and the sensor's height and
// width where it gives them.
inline RawFormat codecFormat(const RawEventStreamFormat& format) {
    std::string text = format.getEncodingTypeStr();
    for (const char* option : {"height", "width"})
        if (format.contains(option)) text += std::string(";") + option + "=" + format[option];
    return RawFormat(text);
}

// The format given; ValueError naming raw_format for malformed text.
inline std::optional<RawFormat> formatOf(const FormatArgument& raw_format) {
    if (!raw_format) return std::nullopt;
    try {
        if (const auto* format = std::get_if<RawEventStreamFormat>(&*raw_format)) return codecFormat(*format);
        return RawFormat(std::get<std::string>(*raw_format));
    } catch (const std::invalid_argument& error) {
        throw pybind11::value_error(std::string("raw_format: ") + error.what());
    }
}

// The header of a recording of the camera from now on: its description, format and settings
// now, and the time; start_us is the camera's position.
RecordingHeader cameraRecordingHeader(const SimulatedCamera& camera);

// Recorded settings as Python sees them, on a recording and on a camera alike:
// {tool kind: {name: value}}, each value of its parameter's own type (text that does not fit
// the type stays text).
pybind11::dict settingsMapping(const std::vector<RecordedSetting>& settings);

// Runs action; an error about the file itself becomes an OSError of the errno's own kind
// (FileExistsError, FileNotFoundError, ...) with the path as its filename. Called with the
// interpreter lock held; the action may release it for its native work.
template <typename Action>
auto withFileErrors(const std::filesystem::path& path, Action&& action) {
    try {
        return action();
    } catch (const std::system_error& error) {
        const auto* out_of_space = dynamic_cast<const RecordingOutOfSpace*>(&error);
        pybind11::object raised =
            pybind11::module_::import("builtins")
                .attr("OSError")(error.code().value(), out_of_space ? out_of_space->reason() : error.code().message(),
                                 pathText(path));
        PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(raised.ptr())), raised.ptr());
        throw pybind11::error_already_set();
    }
}

}  // namespace velmo::sim

namespace pybind11::detail {

// Refuses a path holding a NUL with ValueError, as Python's own open does: the system's calls
// would end it there, and write another file.
template <>
struct type_caster<velmo::sim::PathArgument> {
    PYBIND11_TYPE_CASTER(velmo::sim::PathArgument, const_name("Union[str, os.PathLike]"));

    bool load(handle source, bool) {
        const object native = reinterpret_steal<object>(PyOS_FSPath(source.ptr()));
        if (!native) {
            PyErr_Clear();
            return false;
        }
        const object encoded = PyUnicode_Check(native.ptr())
                                   ? reinterpret_steal<object>(PyUnicode_EncodeFSDefault(native.ptr()))
                                   : native;
        if (!encoded) throw error_already_set();
        std::string bytes = reinterpret_borrow<pybind11::bytes>(encoded);
        if (bytes.find('\0') != std::string::npos) throw value_error("path: embedded null character");
        value.path = std::move(bytes);
        return true;
    }
};

}  // namespace pybind11::detail

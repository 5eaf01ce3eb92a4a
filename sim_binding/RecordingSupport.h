#pragma once

#include <VelmoHal/device/Recording.h>
#include <VelmoHal/device/SimulatedCamera.h>

#include <pybind11/pybind11.h>

#include <filesystem>
#include <string>
#include <system_error>
#include <variant>
#include <vector>

namespace velmo::sim {

// A file's path as Python gives it: a text, or an os.PathLike such as pathlib.Path.
using PathArgument = std::variant<std::string, std::filesystem::path>;

inline std::filesystem::path pathOf(const PathArgument& path) {
    if (const auto* text = std::get_if<std::string>(&path)) return *text;
    return std::get<std::filesystem::path>(path);
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
        pybind11::object raised = pybind11::module_::import("builtins")
                                      .attr("OSError")(error.code().value(), error.code().message(), path.string());
        PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(raised.ptr())), raised.ptr());
        throw pybind11::error_already_set();
    }
}

}  // namespace velmo::sim

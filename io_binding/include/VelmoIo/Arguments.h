#pragma once

#include <VelmoCodec/RawFormat.h>
#include <VelmoCodec/Recording.h>

#include <pybind11/pybind11.h>
#include <pybind11/typing.h>

#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

namespace velmo::io {

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

// A raw_format argument: a velmo_hal_py.RawEventStreamFormat, its text, or None, as the
// codec's RawFormat. The device layer's format object is read through its Python methods, so
// that no module of the codec takes a symbol of a device library.
struct FormatArgument {
    std::optional<RawFormat> format;
};

// A settings argument, {tool kind: {parameter: value}}, as a dict whose entries the callee checks.
using SettingsArgument = pybind11::typing::Dict<
    pybind11::str,
    pybind11::typing::Dict<pybind11::str,
                           pybind11::typing::Union<pybind11::bool_, pybind11::int_, pybind11::float_, pybind11::str>>>;

inline const std::optional<RawFormat>& formatOf(const FormatArgument& raw_format) { return raw_format.format; }

// A setting's value as the tool's own type; text the header's type does not fit stays text.
inline pybind11::object settingValue(const RecordedSetting& setting) {
    namespace py = pybind11;
    try {
        switch (setting.type) {
            case ToolParameterType::INT: return py::int_(std::stoll(setting.value));
            case ToolParameterType::FLOAT: return py::float_(std::stod(setting.value));
            case ToolParameterType::BOOL:
                if (setting.value == "true" || setting.value == "false") return py::bool_(setting.value == "true");
                break;
            case ToolParameterType::STRING:
            case ToolParameterType::ENUM: break;
        }
    } catch (const std::exception&) {
    }
    return py::str(setting.value);
}

// Recorded settings as Python sees them, on a recording and on a camera alike:
// {tool kind: {name: value}}, each value of its parameter's own type (text that does not fit
// the type stays text). Typed as such in signatures.
struct SettingsMapping {
    pybind11::dict tools;
};

inline SettingsMapping settingsMapping(const std::vector<RecordedSetting>& settings) {
    pybind11::dict tools;
    for (const RecordedSetting& setting : settings) {
        const pybind11::str tool(setting.tool);
        if (!tools.contains(tool)) tools[tool] = pybind11::dict();
        tools[tool].cast<pybind11::dict>()[pybind11::str(setting.name)] = settingValue(setting);
    }
    return {tools};
}

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

}  // namespace velmo::io

namespace pybind11::detail {

template <>
struct type_caster<velmo::io::SettingsMapping> {
    PYBIND11_TYPE_CASTER(velmo::io::SettingsMapping, const_name("dict[str, dict[str, bool | int | float | str]]"));

    bool load(handle, bool) { return false; }

    static handle cast(const velmo::io::SettingsMapping& source, return_value_policy, handle) {
        return source.tools.inc_ref();
    }
};

template <>
struct type_caster<velmo::io::FormatArgument> {
    PYBIND11_TYPE_CASTER(velmo::io::FormatArgument, const_name("Union[str, velmo_hal_py.RawEventStreamFormat, None]"));

    bool load(handle source, bool) {
        if (source.is_none()) {
            value.format.reset();
            return true;
        }
        const bool text = isinstance<str>(source);
        if (!text && !isinstance(source, module_::import("velmo_hal_py").attr("RawEventStreamFormat"))) return false;
        try {
            if (text) {
                value.format.emplace(source.cast<std::string>());
            } else {
                value.format = velmo::RawFormat::of(
                    source.attr("get_encoding_type_str")().cast<std::string>(), [&](const std::string& name) {
                        return source.attr("contains")(name).cast<bool>()
                                   ? std::optional<std::string>(source[pybind11::str(name)].cast<std::string>())
                                   : std::nullopt;
                    });
            }
        } catch (const std::invalid_argument& error) {
            throw value_error(std::string("raw_format: ") + error.what());
        }
        return true;
    }
};

// Refuses a path holding a NUL with ValueError, as Python's own open does: the system's calls
// would end it there, and write another file.
template <>
struct type_caster<velmo::io::PathArgument> {
    PYBIND11_TYPE_CASTER(velmo::io::PathArgument, const_name("Union[str, bytes, os.PathLike[str], os.PathLike[bytes]]"));

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

#include "AllOrNone.h"
#include "SimBindings.h"

#include <VelmoCodec/Recording.h>
#include <VelmoIo/Arguments.h>
#include <VelmoSim/SimulatedCamera.h>
#include <VelmoSim/ToolSettings.h>

#include <pybind11/stl.h>

#include <algorithm>
#include <cstdint>
#include <exception>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

namespace py = pybind11;

namespace {

using Value = std::variant<int, float, bool, std::string>;

// One write apply_settings has checked and will make.
struct Write {
    std::shared_ptr<velmo::CameraTool> tool;
    std::string kind;
    std::string name;
    Value value;
};

std::string kindOf(velmo::CameraTool& tool) { return velmo::to_string(tool.getToolInfo().tool_type); }

std::shared_ptr<velmo::CameraTool> toolNamed(const velmo::SimulatedCamera& camera, const std::string& kind) {
    for (const std::shared_ptr<velmo::CameraTool>& tool : camera.tools())
        if (kindOf(*tool) == kind) return tool;
    return nullptr;
}

std::string toolKinds(const velmo::SimulatedCamera& camera) {
    std::string kinds;
    for (const std::shared_ptr<velmo::CameraTool>& tool : camera.tools())
        kinds += (kinds.empty() ? "" : ", ") + kindOf(*tool);
    return kinds;
}

std::string typeName(py::handle value) { return py::str(py::type::handle_of(value).attr("__name__")); }

std::string shown(py::handle value) { return py::repr(value); }

template <typename Number>
std::string range(Number min, Number max) {
    return "[" + shown(py::cast(min)) + ", " + shown(py::cast(max)) + "]";
}

// The value as the parameter's type takes it, or why it does not fit: the same checks the
// tool makes on a write, made on its metadata alone so that checking changes nothing.
std::variant<Value, std::string> checkedValue(velmo::CameraTool& tool, const std::string& name,
                                              velmo::ToolParameterType type, py::handle value) {
    const bool isBool = py::isinstance<py::bool_>(value);
    const bool isInt = py::isinstance<py::int_>(value) && !isBool;
    switch (type) {
        case velmo::ToolParameterType::INT: {
            if (!isInt) return "takes an int, not " + typeName(value);
            velmo::IntParameterInfo info;
            if (!tool.getParamInfo(name, info)) return std::string("has no range to check against");
            const py::int_ number = py::reinterpret_borrow<py::int_>(value);
            if (number < py::int_(info.min) || number > py::int_(info.max))
                return shown(value) + " is outside " + range(info.min, info.max);
            return Value{number.cast<int>()};
        }
        case velmo::ToolParameterType::FLOAT: {
            if (!isInt && !py::isinstance<py::float_>(value)) return "takes a float, not " + typeName(value);
            velmo::FloatParameterInfo info;
            if (!tool.getParamInfo(name, info)) return std::string("has no range to check against");
            const double number = value.cast<double>();
            // The negated test also refuses NaN.
            if (!(number >= info.min && number <= info.max)) return shown(value) + " is outside " + range(info.min, info.max);
            return Value{static_cast<float>(number)};
        }
        case velmo::ToolParameterType::BOOL:
            if (!isBool) return "takes a bool, not " + typeName(value);
            return Value{value.cast<bool>()};
        case velmo::ToolParameterType::ENUM: {
            if (!py::isinstance<py::str>(value)) return "takes a str, not " + typeName(value);
            velmo::EnumParameterInfo info;
            if (!tool.getParamInfo(name, info)) return std::string("has no options to check against");
            const std::string option = value.cast<std::string>();
            if (std::find(info.options.begin(), info.options.end(), option) == info.options.end()) {
                std::string options;
                for (const std::string& each : info.options) options += (options.empty() ? "" : ", ") + each;
                return shown(value) + " is not one of " + options;
            }
            return Value{option};
        }
        case velmo::ToolParameterType::STRING: break;
    }
    return std::string("cannot be written");
}

std::optional<Value> currentValue(velmo::CameraTool& tool, const std::string& name, const Value& like) {
    return std::visit(
        [&](const auto& sample) -> std::optional<Value> {
            std::decay_t<decltype(sample)> value{};
            if (!tool.getParam(name, value)) return std::nullopt;
            return Value{value};
        },
        like);
}

bool write(velmo::CameraTool& tool, const std::string& name, const Value& value) {
    return std::visit([&](const auto& each) { return tool.setParam(name, each); }, value);
}

// Every entry of the mapping as a write, or each refused entry with its reason.
std::vector<Write> checkedWrites(const velmo::SimulatedCamera& camera, const py::dict& settings,
                                 std::vector<std::string>& refused) {
    std::vector<Write> writes;
    for (auto [kindKey, parameters] : settings) {
        if (!py::isinstance<py::str>(kindKey)) {
            refused.push_back(shown(kindKey) + ": a tool is named by a str, not " + typeName(kindKey));
            continue;
        }
        const std::string kind = kindKey.cast<std::string>();
        const std::shared_ptr<velmo::CameraTool> tool = toolNamed(camera, kind);
        if (!tool) {
            refused.push_back(kind + ": no such tool; the camera has " + toolKinds(camera));
            continue;
        }
        if (!py::isinstance<py::dict>(parameters)) {
            refused.push_back(kind + ": takes a dict of parameters, not " + typeName(parameters));
            continue;
        }
        const std::map<std::string, velmo::BasicParameterInfo> table = tool->getAllParamInfo();
        for (auto [nameKey, value] : py::reinterpret_borrow<py::dict>(parameters)) {
            if (!py::isinstance<py::str>(nameKey)) {
                refused.push_back(kind + "." + shown(nameKey) + ": a parameter is named by a str, not " +
                                  typeName(nameKey));
                continue;
            }
            const std::string name = nameKey.cast<std::string>();
            const auto found = table.find(name);
            if (found == table.end()) {
                std::string names;
                for (const auto& [each, basic] : table) names += (names.empty() ? "" : ", ") + each;
                refused.push_back(kind + "." + name + ": no such parameter; " + kind + " has " + names);
                continue;
            }
            std::variant<Value, std::string> checked = checkedValue(*tool, name, found->second.type, value);
            if (const auto* reason = std::get_if<std::string>(&checked))
                refused.push_back(kind + "." + name + ": " + *reason);
            else
                writes.push_back({tool, kind, name, std::get<Value>(std::move(checked))});
        }
    }
    return writes;
}

[[noreturn]] void refuseAll(const std::vector<std::string>& refused, const std::string& outcome) {
    std::string message = std::to_string(refused.size()) + (refused.size() == 1 ? " setting" : " settings") +
                          " refused, " + outcome + ":";
    for (const std::string& line : refused) message += "\n  " + line;
    throw py::value_error(message);
}

velmo::io::SettingsMapping cameraSettings(const velmo::SimulatedCamera& camera) {
    return velmo::io::settingsMapping(velmo::recordedSettings(camera.tools()));
}

// All or nothing: every entry is checked against the tools' metadata before the first write.
// Should a tool still refuse a write the checks let through, the writes made so far are undone.
void applySettings(const velmo::SimulatedCamera& camera, const velmo::io::SettingsArgument& settings) {
    std::vector<std::string> refused;
    const std::vector<Write> writes = checkedWrites(camera, settings, refused);
    if (!refused.empty()) refuseAll(refused, "nothing changed");
    const std::optional<std::size_t> failed = velmo::binding::writeAllOrNone(
        writes, [](const Write& each) { return currentValue(*each.tool, each.name, each.value); },
        [](const Write& each, const Value& value) { return write(*each.tool, each.name, value); });
    if (failed) {
        const Write& each = writes[*failed];
        refuseAll({each.kind + "." + each.name + ": the camera refused the write (its log line says why)"},
                  "the earlier writes undone");
    }
}

std::shared_ptr<velmo::CameraTool> cameraTool(const velmo::SimulatedCamera& camera,
                                              const std::variant<velmo::ToolType, std::string>& kind) {
    if (const auto* type = std::get_if<velmo::ToolType>(&kind)) {
        std::shared_ptr<velmo::CameraTool> tool = camera.tool(*type);
        if (!tool) throw py::key_error("the simulated camera has no " + velmo::to_string(*type) + " tool");
        return tool;
    }
    const std::string& name = std::get<std::string>(kind);
    std::shared_ptr<velmo::CameraTool> tool = toolNamed(camera, name);
    if (!tool) throw py::key_error("the simulated camera has no tool " + name + "; it has " + toolKinds(camera));
    return tool;
}

}  // namespace

void bindSimSettings(py::module_& module) {
    auto camera = py::reinterpret_borrow<py::class_<velmo::SimulatedCamera>>(module.attr("Camera"));
    camera
        .def("settings", &cameraSettings,
             "The tools' parameters now, {tool kind: {name: value}}: the mapping Recording.settings gives, "
             "JSON-serialisable as it is.")
        .def("apply_settings", &applySettings,
             "Sets the tools' parameters from a mapping like settings() gives (a part of one will do), all or "
             "nothing: every entry is checked against the tools' types, ranges and options first, and a mapping "
             "with any refused entry changes nothing and raises ValueError listing each refused entry and why.",
             py::arg("settings"))
        .def("tool", &cameraTool,
             "The camera's tool of this kind, given as a ToolType or its name (\"ROI\"), the same object every "
             "time; KeyError for a kind it lacks.",
             py::arg("tool_type"));
}

#include <VelmoHal/device/ToolTypes.h>
#include <VelmoSim/ToolSettings.h>

#include <cstdio>
#include <optional>
#include <string>
#include <utility>

namespace velmo {

namespace {

std::optional<std::string> valueText(CameraTool& tool, const std::string& name, ToolParameterType type) {
    switch (type) {
        case ToolParameterType::INT: {
            int value = 0;
            if (tool.getParam(name, value)) return std::to_string(value);
            break;
        }
        case ToolParameterType::FLOAT: {
            float value = 0;
            if (tool.getParam(name, value)) {
                char text[32];
                std::snprintf(text, sizeof text, "%.9g", static_cast<double>(value));
                return std::string(text);
            }
            break;
        }
        case ToolParameterType::BOOL: {
            bool value = false;
            if (tool.getParam(name, value)) return std::string(value ? "true" : "false");
            break;
        }
        case ToolParameterType::STRING:
        case ToolParameterType::ENUM: {
            std::string value;
            if (tool.getParam(name, value)) return value;
            break;
        }
    }
    return std::nullopt;
}

}  // namespace

std::vector<RecordedSetting> recordedSettings(const std::vector<std::shared_ptr<CameraTool>>& tools) {
    std::vector<RecordedSetting> settings;
    for (const std::shared_ptr<CameraTool>& tool : tools) {
        const std::string kind = to_string(tool->getToolInfo().tool_type);
        for (const auto& [name, basic] : tool->getAllParamInfo()) {
            if (std::optional<std::string> value = valueText(*tool, name, basic.type))
                settings.push_back(RecordedSetting{kind, name, basic.type, std::move(*value)});
        }
    }
    return settings;
}

}  // namespace velmo

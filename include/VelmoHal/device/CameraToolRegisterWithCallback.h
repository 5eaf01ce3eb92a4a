#pragma once

// Reached through camera/tools/CameraToolPrivate.h, which includes this header once
// CameraToolRegister is complete; include that header, not this one.

namespace velmo {

// A tool whose parameter values live in the camera's register file (shared_handle). Each
// typed record's first callback reads the value and its second writes it. A write is checked
// before anything changes: the parameter exists, the value's kind fits it (an int may set a
// BOOL parameter when it is 0 or 1 and a FLOAT parameter by widening; a string sets an ENUM
// parameter only when it is one of the options), and an INT or FLOAT value lies between min
// and max. A refused write returns false, logs one line that says why and changes nothing.
// A read of an unknown or mistyped parameter returns false and leaves the out-value as it was.
class CameraToolRegisterWithCallback : public CameraToolRegister {
public:
    using CameraToolRegister::CameraToolRegister;

    bool getParamInfo(std::string name, IntParameterInfo& info) override;
    bool getParamInfo(std::string name, FloatParameterInfo& info) override;
    bool getParamInfo(std::string name, BoolParameterInfo& info) override;
    bool getParamInfo(std::string name, EnumParameterInfo& info) override;

    bool getParam(std::string name, int& value) override;
    bool getParam(std::string name, float& value) override;
    bool getParam(std::string name, bool& value) override;
    bool getParam(std::string name, std::string& value) override;

    // setParam(const double&) stays the interface's default body.
    using CameraToolRegister::setParam;
    bool setParam(std::string name, const int& value) override;
    bool setParam(std::string name, const float& value) override;
    bool setParam(std::string name, const bool& value) override;
    bool setParam(std::string name, const char* value) override;
    bool setParam(std::string name, const std::string& value) override;

protected:
    // Entry builders for tool constructors: each defines the register at `address` in
    // shared_handle with the default value and fills the record's callbacks to read and write
    // it. The tool registers the returned entry (registerParameter) and keeps it in its list.
    // Each throws std::invalid_argument when the tool has no register file.
    ParameterEntry intParameter(const std::string& address, std::string name, std::string description,
                                std::int32_t min, std::int32_t max, std::int32_t default_value,
                                std::string unit);
    ParameterEntry floatParameter(const std::string& address, std::string name, std::string description,
                                  float min, float max, float default_value, std::string unit);
    ParameterEntry boolParameter(const std::string& address, std::string name, std::string description,
                                 bool default_value);
    ParameterEntry enumParameter(const std::string& address, std::string name, std::string description,
                                 std::vector<std::string> options, std::string default_value);

    using CameraToolRegister::registerParameter;
    // Registers the entry and keeps the same entry in the tool's own list.
    void registerParameter(ParameterEntry entry, std::vector<ParameterEntry>& list) {
        list.push_back(entry);
        registerParameter(std::move(entry));
    }
};

}  // namespace velmo

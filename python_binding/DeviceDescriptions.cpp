#include "Bindings.h"
#include "ValueProperty.h"

#include <VelmoHal/device/CameraDescription.h>
#include <VelmoHal/device/RawEventStreamFormat.h>
#include <VelmoBinding/NativeObjects.h>

#include <string>
#include <string_view>
#include <tuple>

namespace py = pybind11;

namespace {

std::string describeCamera(const velmo::CameraDescription& description) {
    return "Product: " + description.manufacturer + "-" + description.product + " \nSerial: " +
           description.serial + " \nInterface: " + velmo::to_string(description.interfaceType);
}

std::string formatOption(const velmo::RawEventStreamFormat& format, const std::string& name) {
    return format[std::string_view(name)];
}

py::tuple cameraState(const velmo::CameraDescription& description) {
    return py::make_tuple(description.serial, description.product, description.manufacturer, description.vid,
                          description.pid, description.interfaceType);
}

velmo::CameraDescription cameraFromState(py::handle state) {
    velmo::CameraDescription description;
    std::tie(description.serial, description.product, description.manufacturer, description.vid, description.pid,
             description.interfaceType) =
        velmo::binding::unpackState<std::string, std::string, std::string, decltype(description.vid),
                                    decltype(description.pid), velmo::INTERFACE_TYPE>(state, "CameraDescription");
    return description;
}

}  // namespace

void bindDeviceDescriptions(py::module_& module) {
    py::enum_<velmo::INTERFACE_TYPE> interfaceType(module, "INTERFACE_TYPE", velmo::binding::guardedNativeObject());
    velmo::binding::copyEnumByValue(interfaceType);
    interfaceType.value("USB", velmo::USB);

    py::enum_<velmo::CAMERA_TYPE> cameraType(module, "CAMERA_TYPE", velmo::binding::guardedNativeObject());
    velmo::binding::copyEnumByValue(cameraType);
    cameraType
        .value("RUV4", velmo::RUV4)
        .value("Taveo", velmo::Taveo);

    py::class_<velmo::CameraDescription> cameraDescription(module, "CameraDescription",
                                                           velmo::binding::guardedNativeObject());
    velmo::binding::copyByValue<velmo::CameraDescription, cameraState, cameraFromState>(cameraDescription);
    cameraDescription
        .def(py::init<>())
        .def_readwrite("serial", &velmo::CameraDescription::serial)
        .def_readwrite("product", &velmo::CameraDescription::product)
        .def_readwrite("manufacturer", &velmo::CameraDescription::manufacturer)
        .def_readwrite("vid", &velmo::CameraDescription::vid)
        .def_readwrite("pid", &velmo::CameraDescription::pid)
        .def_property("interfaceType", readByValue(&velmo::CameraDescription::interfaceType),
                      writeByValue(&velmo::CameraDescription::interfaceType))
        .def("__str__", &describeCamera);

    py::enum_<velmo::RawEventStreamEncodingType> encodingType(module, "RawEventStreamEncodingType",
                                                              velmo::binding::guardedNativeObject());
    velmo::binding::copyEnumByValue(encodingType);
    encodingType
        .value("EVT3", velmo::RawEventStreamEncodingType::EVT3)
        .value("UNKNOWN", velmo::RawEventStreamEncodingType::UNKNOWN);

    py::class_<velmo::RawEventStreamFormat> format(module, "RawEventStreamFormat", velmo::binding::guardedNativeObject());
    velmo::binding::refuseCopies(format, "make a new one from the format text");
    format
        .def(py::init<std::string>())
        .def("get_encoding_type_str", &velmo::RawEventStreamFormat::getEncodingTypeStr)
        .def("get_encoding_type", &velmo::RawEventStreamFormat::getEncodingType)
        .def("contains", &velmo::RawEventStreamFormat::contains,
             "Check if the format contains a specific option", py::arg("name"))
        .def("__getitem__", &formatOption, "Get the value of the option by name", py::arg("name"));
}

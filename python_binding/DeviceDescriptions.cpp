#include "Bindings.h"
#include "ValueProperty.h"

#include <VelmoHal/device/CameraDescription.h>
#include <VelmoHal/device/RawEventStreamFormat.h>

#include <string>
#include <string_view>

namespace py = pybind11;

namespace {

std::string describeCamera(const velmo::CameraDescription& description) {
    return "Product: " + description.manufacturer + "-" + description.product + " \nSerial: " +
           description.serial + " \nInterface: " + velmo::to_string(description.interfaceType);
}

std::string formatOption(const velmo::RawEventStreamFormat& format, const std::string& name) {
    return format[std::string_view(name)];
}

}  // namespace

void bindDeviceDescriptions(py::module_& module) {
    py::enum_<velmo::INTERFACE_TYPE>(module, "INTERFACE_TYPE").value("USB", velmo::USB);

    py::enum_<velmo::CAMERA_TYPE>(module, "CAMERA_TYPE")
        .value("RUV4", velmo::RUV4)
        .value("Taveo", velmo::Taveo);

    py::class_<velmo::CameraDescription>(module, "CameraDescription")
        .def(py::init<>())
        .def_readwrite("serial", &velmo::CameraDescription::serial)
        .def_readwrite("product", &velmo::CameraDescription::product)
        .def_readwrite("manufacturer", &velmo::CameraDescription::manufacturer)
        .def_readwrite("vid", &velmo::CameraDescription::vid)
        .def_readwrite("pid", &velmo::CameraDescription::pid)
        .def_property("interfaceType", readByValue(&velmo::CameraDescription::interfaceType),
                      writeByValue(&velmo::CameraDescription::interfaceType))
        .def("__str__", &describeCamera);

    py::enum_<velmo::RawEventStreamEncodingType>(module, "RawEventStreamEncodingType")
        .value("EVT3", velmo::RawEventStreamEncodingType::EVT3)
        .value("UNKNOWN", velmo::RawEventStreamEncodingType::UNKNOWN);

    py::class_<velmo::RawEventStreamFormat>(module, "RawEventStreamFormat")
        .def(py::init<std::string>())
        .def("get_encoding_type_str", &velmo::RawEventStreamFormat::getEncodingTypeStr)
        .def("get_encoding_type", &velmo::RawEventStreamFormat::getEncodingType)
        .def("contains", &velmo::RawEventStreamFormat::contains,
             "Check if the format contains a specific option", py::arg("name"))
        .def("__getitem__", &formatOption, "Get the value of the option by name", py::arg("name"));
}

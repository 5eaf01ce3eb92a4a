#include "Arguments.h"

#include <cstdint>

namespace py = pybind11;

namespace velmo::frames {

namespace {

std::string described(py::handle value) {
    return py::repr(value).cast<std::string>();
}

}  // namespace

void requireEvents(const py::array& array, const char* argument) {
    const py::dtype expected = py::dtype::of<Event2D>();
    if (!array.dtype().equal(expected)) {
        throw py::type_error(std::string(argument) + " must be an array of the event data type " +
                             described(expected) + ", not one of " + described(array.dtype()));
    }
    if (array.ndim() != 1) {
        throw py::value_error(std::string(argument) + " must be a one-dimensional array of events, not one of " +
                              std::to_string(array.ndim()) + " dimensions");
    }
}

EventRun EventArray::run() const {
    EventRun events;
    events.first = static_cast<const unsigned char*>(array.data());
    events.stride = array.strides(0);
    events.count = static_cast<std::size_t>(array.shape(0));
    return events;
}

}  // namespace velmo::frames

namespace pybind11::detail {

bool type_caster<velmo::frames::EventArray>::load(handle source, bool) {
    if (!py::isinstance<py::array>(source)) {
        throw py::type_error("events must be a NumPy array of the event data type, not " +
                             std::string(py::str(py::type::handle_of(source).attr("__name__"))));
    }
    value.array = py::reinterpret_borrow<py::array>(source);
    velmo::frames::requireEvents(value.array, "events");
    return true;
}

bool type_caster<velmo::frames::Shape>::load(handle source, bool) {
    const std::string usage = "shape must be (height, width), two integers from 1 to 65536, not ";
    if (!py::isinstance<py::sequence>(source) || py::isinstance<py::str>(source) || py::len(source) != 2) {
        throw py::type_error(usage + py::repr(source).cast<std::string>());
    }
    const auto sides = py::reinterpret_borrow<py::sequence>(source);
    std::size_t lengths[2];
    for (std::size_t i = 0; i < 2; ++i) {
        const py::object side = sides[i];
        PyObject* number = PyNumber_Index(side.ptr());
        if (number == nullptr) {
            PyErr_Clear();
            throw py::type_error(usage + py::repr(source).cast<std::string>());
        }
        const long long length = PyLong_AsLongLong(number);
        Py_DECREF(number);
        if (length == -1 && PyErr_Occurred()) {
            PyErr_Clear();
            throw py::value_error(usage + py::repr(source).cast<std::string>());
        }
        // Event coordinates are 16-bit: a longer side could hold no event.
        if (length <= 0 || length > 65536) throw py::value_error(usage + py::repr(source).cast<std::string>());
        lengths[i] = static_cast<std::size_t>(length);
    }
    value.frame.height = lengths[0];
    value.frame.width = lengths[1];
    return true;
}

}  // namespace pybind11::detail

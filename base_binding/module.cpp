#include <VelmoBase/Event2D.h>

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

namespace py = pybind11;

// Registers Event2D globally, as a class and as a NumPy data type, so that any module sharing
// the binding layer's registry can hand single events and arrays of them to Python. The
// Python attribute names "p" and "t" differ from the array field names on purpose.
PYBIND11_MODULE(velmo_base_py, module) {
    py::class_<velmo::Event2D>(module, "Event2D")
        .def_readwrite("x", &velmo::Event2D::x)
        .def_readwrite("y", &velmo::Event2D::y)
        .def_readwrite("p", &velmo::Event2D::polarity)
        .def_readwrite("t", &velmo::Event2D::timestamp);

    PYBIND11_NUMPY_DTYPE(velmo::Event2D, x, y, polarity, timestamp);
}

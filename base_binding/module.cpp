#include <VelmoBase/Event2D.h>
#include <VelmoBinding/ModuleEntry.h>
#include <VelmoBinding/NativeObjects.h>

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cstdint>
#include <tuple>

namespace py = pybind11;

namespace {

py::tuple eventState(const velmo::Event2D& event) {
    return py::make_tuple(event.x, event.y, event.polarity, event.timestamp);
}

// Value-initialised first, so that the fill bytes of the copy are zero like those of every
// event the device writes.
velmo::Event2D eventFromState(py::handle state) {
    velmo::Event2D event{};
    std::tie(event.x, event.y, event.polarity, event.timestamp) =
        velmo::binding::unpackState<std::uint16_t, std::uint16_t, std::uint8_t, std::uint64_t>(state, "Event2D");
    return event;
}

}  // namespace

// Registers Event2D globally, as a class and as a NumPy data type, so that any module sharing
// the binding layer's registry can hand single events and arrays of them to Python. The
// Python attribute names "p" and "t" differ from the array field names on purpose.
PYBIND11_MODULE(velmo_base_py, module) {
    velmo::binding::beginModule({});
    py::class_<velmo::Event2D> event(module, "Event2D", velmo::binding::guardedNativeObject());
    velmo::binding::copyByValue<velmo::Event2D, eventState, eventFromState>(event);
    velmo::binding::addCopyRestorer(module);
    event
        .def_readwrite("x", &velmo::Event2D::x)
        .def_readwrite("y", &velmo::Event2D::y)
        .def_readwrite("p", &velmo::Event2D::polarity)
        .def_readwrite("t", &velmo::Event2D::timestamp);

    PYBIND11_NUMPY_DTYPE(velmo::Event2D, x, y, polarity, timestamp);
    velmo::binding::finishModule(module);
}

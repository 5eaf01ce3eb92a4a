#include "IoBindings.h"

#include <VelmoCodec/TriggerEvent.h>

#include <pybind11/numpy.h>

namespace py = pybind11;

void bindIoTriggerDtype(py::module_& module) {
    PYBIND11_NUMPY_DTYPE(velmo::TriggerEvent, value, channel, timestamp);
    module.def(
        "trigger_dtype", [] { return py::dtype::of<velmo::TriggerEvent>(); },
        "The NumPy data type of trigger events: value (1 rising edge, 0 falling), channel, timestamp "
        "in microseconds on the events' clock; 16 bytes a record.");
}

#include <pybind11/pybind11.h>

#include <VelmoBase/Event2D.h>
#include <VelmoBinding/Gil.h>
#include <VelmoBinding/NativeObjects.h>
#include <VelmoCodec/Evt3Encoder.h>
#include <VelmoHal/device/CameraTool.h>
#include <VelmoSim/SimulatedCamera.h>

#include <pybind11/numpy.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace py = pybind11;

namespace {

// The floor under every tool method: bound like CameraTool's get_param and set_param (a
// class held by std::shared_ptr, the name converted to std::string, a tuple or a bool
// returned, no argument names), but doing nothing, so what a call of it costs is pybind11 and
// the interpreter.
class NoOpTool {
public:
    py::tuple getParam(std::string) const { return py::make_tuple(true, 0); }
    bool setParam(std::string, int) const { return true; }
};

velmo::ToolInfo callToolInfo(velmo::CameraTool& tool, int calls) {
    if (calls < 1) throw py::value_error("calls must be at least 1, got " + std::to_string(calls));
    velmo::ToolInfo info;
    for (int call = 0; call < calls; ++call) info = tool.getToolInfo();
    return info;
}

// What read_events costs beyond this is the hand-off to NumPy: the array, the first touch of
// its memory and the call. The buffer is an array allocated as read_events allocates one, so
// that its memory is of the same kind, and it is touched before the clock starts.
double deviceReadSeconds(velmo::SimulatedCamera& camera, py::ssize_t count) {
    if (count < 0) throw py::value_error("n must not be negative, got " + std::to_string(count));
    py::array_t<velmo::Event2D> events(count);
    const auto requested = static_cast<std::size_t>(count);
    velmo::Event2D* out = events.mutable_data();
    velmo::binding::ReleasedGil released;
    std::memset(static_cast<void*>(out), 0, requested * sizeof(velmo::Event2D));
    const auto start = std::chrono::steady_clock::now();
    camera.readEvents(out, requested);
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// The records of a contiguous one-dimensional array of their registered data type.
template <typename Record>
const Record* recordsOf(const py::array& array, const char* name) {
    const py::dtype expected = py::dtype::of<Record>();
    if (!array.dtype().equal(expected) || array.ndim() != 1 || !(array.flags() & py::array::c_style)) {
        throw py::type_error(std::string(name) + " must be a contiguous one-dimensional array of " +
                             std::string(py::repr(expected)) + ", got " + std::string(py::repr(array.dtype())));
    }
    return static_cast<const Record*>(array.data());
}

// The bytes the camera would send for these records: one span that ends with the last record.
py::bytes encodeEvt3(const py::array& events, const py::array& triggers) {
    const velmo::Event2D* event_records = recordsOf<velmo::Event2D>(events, "events");
    const velmo::TriggerEvent* trigger_records = recordsOf<velmo::TriggerEvent>(triggers, "triggers");
    const auto event_count = static_cast<std::size_t>(events.size());
    const auto trigger_count = static_cast<std::size_t>(triggers.size());
    std::uint64_t span_end = 0;
    if (event_count > 0) span_end = event_records[event_count - 1].timestamp;
    if (trigger_count > 0) span_end = std::max(span_end, trigger_records[trigger_count - 1].timestamp);
    std::vector<std::uint8_t> bytes;
    {
        velmo::binding::ReleasedGil released;
        velmo::Evt3Encoder encoder;
        encoder.encode(event_records, event_count, trigger_records, trigger_count, span_end, bytes);
    }
    return py::bytes(reinterpret_cast<const char*>(bytes.data()), static_cast<py::ssize_t>(bytes.size()));
}

}  // namespace

// Hooks that only the project's own benchmarks and tests need; built with the tests and never
// installed. Its arguments are types that the published modules and velmo.sim register.
PYBIND11_MODULE(velmo_test_hooks, module) {
    py::module_::import("velmo.sim");
    py::class_<NoOpTool, std::shared_ptr<NoOpTool>>(module, "NoOpTool",
                                                    "Does nothing, bound like a tool: the cost of a bare call.",
                                                    velmo::binding::guardedNativeObject())
        .def(py::init<>())
        .def("get_param", &NoOpTool::getParam, "Returns (True, 0).")
        .def("set_param", &NoOpTool::setParam, "Returns True.");

    module.def("call_tool_info", &callToolInfo,
               "Calls getToolInfo natively `calls` times, as native code holding the tool would, and returns "
               "the last answer.",
               py::arg("tool").none(false), py::arg("calls"));

    module.def("time_device_read", &deviceReadSeconds,
               "Seconds the camera takes to write its next n events into native memory made ready "
               "beforehand; the stream moves on as with read_events.",
               py::arg("camera"), py::arg("n"));

    module.def("encode_evt3", &encodeEvt3,
               "The EVT3 bytes of these events and trigger edges (arrays of their data types, each in time "
               "order), as one span from time 0 to the last record; ValueError for records the stream "
               "cannot carry.",
               py::arg("events"), py::arg("triggers"));
}

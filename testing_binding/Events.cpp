#include "TestingBindings.h"

#include <VelmoBase/Event2D.h>
#include <VelmoHal/camera/tools/CameraToolPrivate.h>
#include <VelmoSim/SplitMix64.h>

#include <pybind11/numpy.h>
#include <pybind11/stl.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <tuple>
#include <vector>

namespace py = pybind11;

namespace {

// Maps 20 random bits onto [0, bound) without division.
std::uint16_t scaleTo(std::uint64_t bits20, std::uint32_t bound) {
    return static_cast<std::uint16_t>((bits20 * bound) >> 20);
}

void requireCount(py::ssize_t count) {
    if (count < 0) throw py::value_error("n must not be negative, got " + std::to_string(count));
}

py::array_t<velmo::Event2D> makeEvents(py::ssize_t count, std::uint64_t seed) {
    requireCount(count);
    py::array_t<velmo::Event2D> events(count);
    velmo::Event2D* out = events.mutable_data();
    velmo::SplitMix64 random(seed);
    std::uint64_t timestamp = 0;
    for (py::ssize_t i = 0; i < count; ++i) {
        const std::uint64_t bits = random.next();
        timestamp += (bits >> 41) & 0xF;
        velmo::Event2D& event = out[i];
        // Every byte is set, the fill bytes to zero, in the one pass over the array: no stale
        // memory reaches Python, and equal seeds give equal bytes.
        std::memset(&event, 0, sizeof event);
        event.x = scaleTo(bits & 0xFFFFF, velmo::imx636::kSensorWidth);
        event.y = scaleTo((bits >> 20) & 0xFFFFF, velmo::imx636::kSensorHeight);
        event.polarity = static_cast<std::uint8_t>((bits >> 40) & 1);
        event.timestamp = timestamp;
    }
    return events;
}

// A sum that cannot wrap around: a view with a zero stride repeats one record as often as
// its shape says, so even the 16-bit fields can exceed 64 bits in total.
class WideSum {
public:
    void add(std::uint64_t value) {
        low_ += value;
        if (low_ < value) ++high_;
    }

    py::int_ toPython() const { return py::int_((py::int_(high_) << py::int_(64)) | py::int_(low_)); }

private:
    std::uint64_t low_ = 0;
    std::uint64_t high_ = 0;
};

// Visits every item of an array of any dimension and any strides (negative, zero, or not a
// multiple of the item size) in C order. Offsets stay integers until an item is read, so no
// pointer is ever formed outside the array's memory.
template <typename Visit>
void forEachItem(const py::array& array, Visit&& visit) {
    if (array.size() == 0) return;
    const auto* base = static_cast<const unsigned char*>(array.data());
    const py::ssize_t ndim = array.ndim();
    if (ndim == 0) {
        visit(base);
        return;
    }
    const py::ssize_t* shape = array.shape();
    const py::ssize_t* strides = array.strides();
    const py::ssize_t inner = ndim - 1;
    std::vector<py::ssize_t> index(static_cast<std::size_t>(ndim), 0);
    py::ssize_t rowOffset = 0;
    for (;;) {
        py::ssize_t offset = rowOffset;
        for (py::ssize_t i = 0; i < shape[inner]; ++i, offset += strides[inner]) visit(base + offset);
        py::ssize_t dim = inner - 1;
        for (; dim >= 0; --dim) {
            const auto d = static_cast<std::size_t>(dim);
            rowOffset += strides[dim];
            if (++index[d] < shape[dim]) break;
            rowOffset -= strides[dim] * shape[dim];
            index[d] = 0;
        }
        if (dim < 0) return;
    }
}

std::tuple<py::int_, py::int_, py::int_, py::int_> sumEvents(const py::array& events) {
    const py::dtype expected = py::dtype::of<velmo::Event2D>();
    if (!events.dtype().equal(expected)) {
        throw py::type_error("sum_events needs an array of the Event2D data type " +
                             py::repr(expected).cast<std::string>() + ", got " +
                             py::repr(events.dtype()).cast<std::string>());
    }
    WideSum x;
    WideSum y;
    WideSum polarity;
    WideSum timestamp;
    forEachItem(events, [&](const unsigned char* item) {
        // Copied out because a view may place records at any byte offset.
        velmo::Event2D event;
        std::memcpy(&event, item, sizeof event);
        x.add(event.x);
        y.add(event.y);
        polarity.add(event.polarity);
        timestamp.add(event.timestamp);
    });
    return {x.toPython(), y.toPython(), polarity.toPython(), timestamp.toPython()};
}

}  // namespace

void bindTestingEvents(py::module_& module) {
    module.def(
        "make_event",
        [](std::uint16_t x, std::uint16_t y, std::uint8_t p, std::uint64_t t) {
            velmo::Event2D event{};
            event.x = x;
            event.y = y;
            event.polarity = p;
            event.timestamp = t;
            return event;
        },
        "A new Event2D with these field values.", py::arg("x"), py::arg("y"), py::arg("p"), py::arg("t"));

    module.def(
        "read_event",
        [](const velmo::Event2D& event) {
            return std::tuple<std::uint16_t, std::uint16_t, std::uint8_t, std::uint64_t>{event.x, event.y, event.polarity,
                                                                                        event.timestamp};
        },
        "The fields (x, y, polarity, timestamp) of an Event2D or of a NumPy scalar of its data type, "
        "read natively.",
        py::arg("e"));

    module.def("make_events", &makeEvents,
               "n pseudo-random events of the 1280 x 720 sensor, the same for the same seed, time stamps "
               "non-decreasing.",
               py::arg("n"), py::arg("seed") = 0);

    module.def("sum_events", &sumEvents,
               "Sums of x, y, polarity and timestamp over an array of the Event2D data type, read natively "
               "in place; any shape and strides.",
               py::arg("events"));
}

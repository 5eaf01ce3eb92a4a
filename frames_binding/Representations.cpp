#include "Representations.h"

#include <VelmoBinding/Gil.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

namespace py = pybind11;
using velmo::binding::ReleasedGil;

namespace velmo::frames {

const Palette kPalette = {
    /*none*/ {255, 255, 255},
    /*on*/ {214, 40, 40},
    /*off*/ {33, 102, 172},
    /*both*/ {40, 40, 40},
};

namespace {

std::vector<py::ssize_t> planesOf(std::size_t planes, FrameShape frame) {
    std::vector<py::ssize_t> shape;
    if (planes > 1) shape.push_back(static_cast<py::ssize_t>(planes));
    shape.push_back(static_cast<py::ssize_t>(frame.height));
    shape.push_back(static_cast<py::ssize_t>(frame.width));
    return shape;
}

// A count in 32 bits cannot overflow unless the array holds more events than that.
bool needsWideCounts(const EventRun& events) {
    return events.count > std::numeric_limits<std::uint32_t>::max();
}

template <typename Count>
py::array_t<Count> countsOf(const EventRun& events, FrameShape frame, bool split) {
    py::array_t<Count> counts(planesOf(split ? 2 : 1, frame));
    Count* out = counts.mutable_data();
    ReleasedGil released;
    histogram(events, frame, split, out);
    return counts;
}

std::uint64_t checkedTime(std::int64_t value, const char* argument) {
    if (value < 0) throw py::value_error(std::string(argument) + " must not be negative, not " + std::to_string(value));
    return static_cast<std::uint64_t>(value);
}

bool parseOrder(const std::string& order, Column (&columns)[4]) {
    const std::string letters = "txyp";
    if (order.size() != 4) return false;
    bool seen[4] = {false, false, false, false};
    for (std::size_t i = 0; i < 4; ++i) {
        const auto found = letters.find(order[i]);
        if (found == std::string::npos || seen[found]) return false;
        seen[found] = true;
        columns[i] = static_cast<Column>(found);
    }
    return true;
}

template <typename Value>
py::array columnsAs(const EventRun& events, const Column (&order)[4], const py::dtype& dtype) {
    py::array_t<Value> rows({static_cast<py::ssize_t>(events.count), py::ssize_t{4}});
    Value* out = rows.mutable_data();
    std::uint64_t latest = 0;
    {
        ReleasedGil released;
        latest = toColumns(events, order, out);
    }
    if constexpr (std::is_integral_v<Value>) {
        if (latest > static_cast<std::uint64_t>(std::numeric_limits<Value>::max())) {
            throw py::value_error("dtype " + dtype.attr("name").cast<std::string>() + " cannot hold the time stamp " +
                                  std::to_string(latest) + "; use int64 or a floating-point type");
        }
    }
    return rows;
}

template <typename Count>
py::array_t<std::uint8_t> colourPlanes(const Count* off, const Count* on, FrameShape frame) {
    py::array_t<std::uint8_t> rgb(
        {static_cast<py::ssize_t>(frame.height), static_cast<py::ssize_t>(frame.width), py::ssize_t{3}});
    std::uint8_t* out = rgb.mutable_data();
    ReleasedGil released;
    colour(off, on, frame.pixels(), kPalette, out);
    return rgb;
}

template <typename Count>
py::array_t<std::uint8_t> renderEvents(const EventRun& events, FrameShape frame) {
    const auto counts = countsOf<Count>(events, frame, true);
    return colourPlanes(counts.data(), counts.data() + frame.pixels(), frame);
}

py::array_t<std::uint8_t> renderHistogram(const py::array& histogram, FrameShape frame) {
    const bool matches = histogram.ndim() == 3 && histogram.shape(0) == 2 &&
                         static_cast<std::size_t>(histogram.shape(1)) == frame.height &&
                         static_cast<std::size_t>(histogram.shape(2)) == frame.width;
    if (!matches) {
        throw py::value_error("events_or_histogram must be events or a histogram of shape (2, " +
                              std::to_string(frame.height) + ", " + std::to_string(frame.width) +
                              ") as histogram(events, shape) makes, not an array of shape " +
                              py::str(py::tuple(histogram.attr("shape"))).cast<std::string>());
    }
    const auto numpy = py::module_::import("numpy");
    const auto nonzero = py::array_t<std::uint8_t, py::array::c_style>(
        numpy.attr("ascontiguousarray")(numpy.attr("not_equal")(histogram, 0)).attr("view")(numpy.attr("uint8")));
    return colourPlanes(nonzero.data(), nonzero.data() + frame.pixels(), frame);
}

py::tuple window(const EventArray& events, std::uint64_t start_us, std::uint64_t end_us, std::size_t low,
                 std::size_t high) {
    const py::object view = events.array[py::slice(static_cast<py::ssize_t>(low), static_cast<py::ssize_t>(high), 1)];
    return py::make_tuple(py::int_(start_us), py::int_(end_us), view);
}

std::uint64_t saturatingSum(std::uint64_t a, std::uint64_t b) {
    return a > std::numeric_limits<std::uint64_t>::max() - b ? std::numeric_limits<std::uint64_t>::max() : a + b;
}

}  // namespace

std::size_t outsideOf(const EventArray& events, const Shape& shape) {
    const EventRun run = events.run();
    ReleasedGil released;
    return countOutside(run, shape.frame);
}

py::array histogramOf(const EventArray& events, const Shape& shape, bool split) {
    const EventRun run = events.run();
    if (needsWideCounts(run)) return countsOf<std::uint64_t>(run, shape.frame, split);
    return countsOf<std::uint32_t>(run, shape.frame, split);
}

py::array_t<float> timeSurfaceOf(const EventArray& events, const Shape& shape, std::int64_t t_us, double tau_us,
                                 bool split) {
    if (!(tau_us > 0) || !std::isfinite(tau_us)) {
        throw py::value_error("tau_us must be a positive number of microseconds, not " + std::to_string(tau_us));
    }
    const EventRun run = events.run();
    py::array_t<float> surface(planesOf(split ? 2 : 1, shape.frame));
    float* out = surface.mutable_data();
    const auto size = static_cast<std::size_t>(surface.size());
    ReleasedGil released;
    if (t_us >= 0) {
        timeSurface(run, shape.frame, split, static_cast<std::uint64_t>(t_us), tau_us, out);
    } else {
        std::fill(out, out + size, 0.0f);
    }
    return surface;
}

py::array_t<float> voxelGridOf(const EventArray& events, const Shape& shape, std::int64_t bins,
                               std::optional<std::int64_t> start_us, std::optional<std::int64_t> end_us) {
    if (bins < 1) throw py::value_error("bins must be at least 1, not " + std::to_string(bins));
    const EventRun run = events.run();
    const std::uint64_t start =
        start_us ? checkedTime(*start_us, "start_us") : (run.count > 0 ? run.timestamp(0) : 0);
    const std::uint64_t end =
        end_us ? checkedTime(*end_us, "end_us") : (run.count > 0 ? run.timestamp(run.count - 1) : 0);
    if (end < start) {
        throw py::value_error("end_us (" + std::to_string(end) + ") must not be before start_us (" +
                              std::to_string(start) + ")");
    }
    py::array_t<float> grid({static_cast<py::ssize_t>(bins), static_cast<py::ssize_t>(shape.frame.height),
                              static_cast<py::ssize_t>(shape.frame.width)});
    float* out = grid.mutable_data();
    ReleasedGil released;
    voxelGrid(run, shape.frame, static_cast<std::size_t>(bins), start, end, out);
    return grid;
}

py::array columnsOf(const EventArray& events, const std::string& order, const py::object& dtype) {
    Column columns[4];
    if (!parseOrder(order, columns)) {
        throw py::value_error("order must name the four columns t, x, y and p once each, as in 'txyp', not '" +
                              order + "'");
    }
    py::dtype wanted;
    try {
        wanted = py::dtype::from_args(dtype);
    } catch (py::error_already_set&) {
        throw py::type_error("dtype must be a NumPy data type, not " + py::repr(dtype).cast<std::string>());
    }
    const EventRun run = events.run();
    if (wanted.equal(py::dtype::of<std::int64_t>())) return columnsAs<std::int64_t>(run, columns, wanted);
    if (wanted.equal(py::dtype::of<std::int32_t>())) return columnsAs<std::int32_t>(run, columns, wanted);
    if (wanted.equal(py::dtype::of<double>())) return columnsAs<double>(run, columns, wanted);
    if (wanted.equal(py::dtype::of<float>())) return columnsAs<float>(run, columns, wanted);
    throw py::value_error("dtype must be int64, int32, float64 or float32, not " + wanted.attr("name").cast<std::string>());
}

py::array_t<std::uint8_t> renderOf(const py::array& source, const Shape& shape) {
    if (source.dtype().equal(py::dtype::of<Event2D>())) {
        requireEvents(source, "events_or_histogram");
        const EventArray events{source};
        const EventRun run = events.run();
        if (needsWideCounts(run)) return renderEvents<std::uint64_t>(run, shape.frame);
        return renderEvents<std::uint32_t>(run, shape.frame);
    }
    const char kind = source.dtype().kind();
    if (kind != 'b' && kind != 'i' && kind != 'u' && kind != 'f') {
        throw py::type_error("events_or_histogram must be an array of events or a numeric histogram, not an array of " +
                             py::repr(source.dtype()).cast<std::string>());
    }
    return renderHistogram(source, shape.frame);
}

Windows windowsOf(const EventArray& events, std::optional<std::int64_t> duration_us,
                   std::optional<std::int64_t> count) {
    if (duration_us.has_value() == count.has_value()) {
        throw py::type_error("windows takes exactly one of duration_us and count");
    }
    if (duration_us && *duration_us <= 0) {
        throw py::value_error("duration_us must be positive, not " + std::to_string(*duration_us));
    }
    if (count && *count <= 0) throw py::value_error("count must be positive, not " + std::to_string(*count));
    const EventRun run = events.run();
    std::size_t firstDecrease = 0;
    bool sorted = true;
    {
        ReleasedGil released;
        sorted = timeSorted(run, firstDecrease);
    }
    if (!sorted) {
        throw py::value_error("events must be sorted by time stamp: event " + std::to_string(firstDecrease) + " (t = " +
                              std::to_string(run.timestamp(firstDecrease)) + ") comes before the one ahead of it (t = " +
                              std::to_string(run.timestamp(firstDecrease - 1)) + ")");
    }
    Windows windows;
    if (count) {
        const auto size = static_cast<std::size_t>(*count);
        for (std::size_t low = 0; low < run.count; low += size) {
            const std::size_t high = std::min(run.count, low + size);
            windows.append(window(events, run.timestamp(low), saturatingSum(run.timestamp(high - 1), 1), low, high));
        }
        return windows;
    }
    const auto duration = static_cast<std::uint64_t>(*duration_us);
    std::uint64_t start = run.count > 0 ? run.timestamp(0) : 0;
    for (std::size_t low = 0; low < run.count;) {
        const std::uint64_t end = saturatingSum(start, duration);
        const std::size_t high = end == std::numeric_limits<std::uint64_t>::max() ? run.count
                                                                                    : firstAtOrAfter(run, low, end);
        windows.append(window(events, start, end, low, high));
        low = high;
        start = end;
    }
    return windows;
}

py::dict paletteTable() {
    py::dict table;
    const std::pair<const char*, Rgb> entries[] = {
        {"none", kPalette.none}, {"on", kPalette.on}, {"off", kPalette.off}, {"both", kPalette.both}};
    for (const auto& [name, rgb] : entries) table[name] = py::make_tuple(rgb.red, rgb.green, rgb.blue);
    return table;
}

}  // namespace velmo::frames

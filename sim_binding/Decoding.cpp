#include "Arrays.h"
#include "SimBindings.h"

#include <VelmoBase/Event2D.h>
#include <VelmoHal/device/Evt3Decoder.h>
#include <VelmoHal/device/RawEventStreamFormat.h>
#include <VelmoHal/device/TriggerEvent.h>
#include <VelmoBinding/Gil.h>
#include <VelmoBinding/NativeObjects.h>

#include <pybind11/numpy.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <variant>

namespace py = pybind11;

namespace {

// The bytes of any object with a contiguous buffer, held for as long as this lives.
class ByteView {
public:
    explicit ByteView(py::handle data) {
        if (PyObject_GetBuffer(data.ptr(), &view_, PyBUF_SIMPLE) != 0) {
            PyErr_Clear();
            throw py::type_error("data must be a contiguous buffer (bytes, bytearray, memoryview, a NumPy uint8 or "
                                 "uint16 array), got " +
                                 std::string(py::str(py::type::handle_of(data).attr("__name__"))));
        }
    }
    ~ByteView() { PyBuffer_Release(&view_); }
    ByteView(const ByteView&) = delete;
    ByteView& operator=(const ByteView&) = delete;

    const std::uint8_t* data() const { return static_cast<const std::uint8_t*>(view_.buf); }
    std::size_t size() const { return static_cast<std::size_t>(view_.len); }

private:
    Py_buffer view_{};
};

using FormatArgument = std::optional<std::variant<std::string, velmo::RawEventStreamFormat>>;

velmo::Evt3Decoder decoderFor(const FormatArgument& raw_format) {
    if (!raw_format) return velmo::Evt3Decoder();
    try {
        if (const auto* text = std::get_if<std::string>(&*raw_format))
            return velmo::Evt3Decoder::forFormat(velmo::RawEventStreamFormat(*text));
        return velmo::Evt3Decoder::forFormat(std::get<velmo::RawEventStreamFormat>(*raw_format));
    } catch (const std::invalid_argument& error) {
        throw py::value_error(std::string("raw_format: ") + error.what());
    }
}

// One decoder shared by Python threads: each call decodes with the interpreter lock released and
// the decoder's own lock held, so calls on one object take turns while separate objects decode
// in parallel. The interpreter lock is never awaited while the decoder's is held.
class Decoder {
public:
    explicit Decoder(const FormatArgument& raw_format) : decoder_(decoderFor(raw_format)) {}

    py::tuple decode(py::handle data) {
        const ByteView bytes(data);
        velmo::RecordBuffer<velmo::Event2D> events;
        velmo::RecordBuffer<velmo::TriggerEvent> triggers;
        {
            velmo::binding::ReleasedGil released;
            std::lock_guard<std::mutex> lock(mutex_);
            decoder_.decodeAppending(bytes.data(), bytes.size(), events, triggers);
        }
        return py::make_tuple(velmo::sim::arrayOwning(std::move(events)), velmo::sim::arrayOwning(std::move(triggers)));
    }

    void reset() {
        velmo::binding::ReleasedGil released;
        std::lock_guard<std::mutex> lock(mutex_);
        decoder_.reset();
    }

    velmo::Evt3DecodeCounters counters() {
        velmo::binding::ReleasedGil released;
        std::lock_guard<std::mutex> lock(mutex_);
        return decoder_.counters();
    }

private:
    std::mutex mutex_;
    velmo::Evt3Decoder decoder_;
};

template <std::uint64_t velmo::Evt3DecodeCounters::*counter>
std::uint64_t countOf(Decoder& decoder) {
    return decoder.counters().*counter;
}

}  // namespace

void bindSimDecoding(py::module_& module) {
    py::class_<Decoder> decoder(module, "Decoder",
                                "Decodes a raw EVT3 stream, chunk after chunk, into events and trigger edges. "
                                "Any bytes are accepted: what cannot be decoded is skipped and counted.",
                                velmo::binding::guardedNativeObject());
    velmo::binding::refuseCopies(decoder, "it holds a stream's state; make a new Decoder");
    decoder
        .def(py::init<const FormatArgument&>(),
             "raw_format (a RawEventStreamFormat or its text) gives the sensor's width and height: events "
             "beyond them are dropped and counted. Without it, or without a width or height, every 11-bit "
             "address is kept. ValueError for malformed text or an encoding other than EVT3.",
             py::arg("raw_format") = py::none())
        .def("decode", &Decoder::decode,
             "Decodes the next chunk of the stream (any contiguous buffer; a NumPy uint16 array holds its "
             "words) and returns (events, triggers), NumPy arrays of the Event2D and trigger data types. A "
             "chunk may end in the middle of a word: its last byte is kept for the next call. The interpreter "
             "lock is released meanwhile; calls on one decoder from several threads take turns.",
             py::arg("data"))
        .def("reset", &Decoder::reset,
             "Starts a new stream: no time base, no kept byte, the counters at zero.")
        .def_property_readonly("skipped_words", &countOf<&velmo::Evt3DecodeCounters::skipped_words>,
                               "Words of a type the stream does not use, skipped.")
        .def_property_readonly("untimed_dropped", &countOf<&velmo::Evt3DecodeCounters::untimed_dropped>,
                               "Events and trigger edges dropped because no TIME_HIGH came before them.")
        .def_property_readonly("outside_dropped", &countOf<&velmo::Evt3DecodeCounters::outside_dropped>,
                               "Events dropped because their column or row lies beyond the sensor.")
        .def_property_readonly("time_wraps", &countOf<&velmo::Evt3DecodeCounters::time_wraps>,
                               "Times the 24-bit time counter went round; time stamps count them in.");

    module.def(
        "decode", [](py::handle data) { return Decoder(std::nullopt).decode(data); },
        "Decodes a whole raw EVT3 stream in one call, as a new Decoder() would; a last odd byte, half a "
        "word, is ignored. Returns (events, triggers).",
        py::arg("data"));
}

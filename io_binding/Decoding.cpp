#include "Buffers.h"
#include "IoBindings.h"
#include "Streaming.h"

#include <VelmoBase/Event2D.h>
#include <VelmoBinding/Gil.h>
#include <VelmoBinding/NativeObjects.h>
#include <VelmoCodec/Evt3Decoder.h>
#include <VelmoCodec/Evt3StreamScan.h>
#include <VelmoCodec/RawFileHeader.h>
#include <VelmoCodec/SliceCutter.h>
#include <VelmoCodec/TriggerEvent.h>
#include <VelmoHal/device/RawEventStreamFormat.h>
#include <VelmoIo/Arguments.h>
#include <VelmoIo/Arrays.h>
#include <VelmoIo/Reading.h>

#include <pybind11/numpy.h>
#include <pybind11/stl.h>

#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace py = pybind11;

namespace {

velmo::Evt3Decoder decoderFor(const std::optional<velmo::RawFormat>& raw_format) {
    if (!raw_format) return velmo::Evt3Decoder();
    try {
        return velmo::Evt3Decoder::forFormat(*raw_format);
    } catch (const std::invalid_argument& error) {
        throw py::value_error(std::string("raw_format: ") + error.what());
    }
}

// One decoder shared by Python threads: each call decodes with the interpreter lock released and
// the decoder's own lock held, so calls on one object take turns while separate objects decode
// in parallel. The interpreter lock is never awaited while the decoder's is held.
class Decoder {
public:
    explicit Decoder(const velmo::io::FormatArgument& raw_format)
        : given_(velmo::io::formatOf(raw_format)), decoder_(decoderFor(given_)) {}

    velmo::io::EventsAndTriggers decode(py::handle data) {
        velmo::RecordBuffer<velmo::Event2D> events;
        velmo::RecordBuffer<velmo::TriggerEvent> triggers;
        decodeAppending(data, events, triggers);
        return {velmo::io::arrayOwning(std::move(events)), velmo::io::arrayOwning(std::move(triggers))};
    }

    // Decodes the next chunk onto the end of the buffers with the interpreter lock released, and
    // returns a time no record of the chunks to come is before.
    std::uint64_t decodeAppending(py::handle data, velmo::RecordBuffer<velmo::Event2D>& events,
                                  velmo::RecordBuffer<velmo::TriggerEvent>& triggers) {
        const velmo::io::ByteView bytes(data);
        velmo::binding::ReleasedGil released;
        std::lock_guard<std::mutex> lock(mutex_);
        const velmo::RawHeaderFilter::Bytes stream = streamData(bytes.data(), bytes.size());
        decoder_.decodeAppending(stream.data, stream.size, events, triggers);
        return decoder_.earliestComingTimeUs();
    }

    void reset() {
        velmo::binding::ReleasedGil released;
        std::lock_guard<std::mutex> lock(mutex_);
        decoder_ = decoderFor(given_);
        filter_ = velmo::RawHeaderFilter();
        start_.reset();
        refusal_.clear();
    }

    velmo::Evt3DecodeCounters counters() {
        velmo::binding::ReleasedGil released;
        std::lock_guard<std::mutex> lock(mutex_);
        return decoder_.counters();
    }

private:
    // The stream's data in the bytes: a text header at its start is skipped, and its format
    // line sets the sensor's size. Throws std::invalid_argument for a header that contradicts the
    // given format or data that is not EVT3; once refused, the stream stays refused until reset.
    velmo::RawHeaderFilter::Bytes streamData(const std::uint8_t* data, std::size_t size) {
        if (!refusal_.empty()) throw std::invalid_argument(refusal_);
        try {
            const bool had_begun = filter_.decided();
            const velmo::RawHeaderFilter::Bytes stream = filter_.data(data, size);
            if (!had_begun && filter_.header() && filter_.header()->field("format"))
                decoder_ = velmo::Evt3Decoder::forFormat(
                    velmo::RawFormat(velmo::rawFormatOf(filter_.header(), given_)));
            start_.check(stream.data, stream.size);
            return stream;
        } catch (const std::invalid_argument& error) {
            refusal_ = error.what();
            throw;
        }
    }

    std::mutex mutex_;
    std::optional<velmo::RawFormat> given_;
    velmo::Evt3Decoder decoder_;
    velmo::RawHeaderFilter filter_;
    velmo::Evt3StartCheck start_;
    std::string refusal_;
};

// What velmo.io.slices runs on: chunks of one stream in, the slices they complete out. Used by
// one thread at a time, as a generator is.
class ChunkSlicer {
public:
    ChunkSlicer(const velmo::io::FormatArgument& raw_format, std::int64_t slice_us)
        : decoder_(raw_format), cutter_(velmo::io::checkedSliceUs(slice_us)) {}

    py::typing::List<velmo::io::Slice> feed(py::handle data) {
        velmo::RecordBuffer<velmo::Event2D> events;
        velmo::RecordBuffer<velmo::TriggerEvent> triggers;
        const std::uint64_t coming_us = decoder_.decodeAppending(data, events, triggers);
        std::vector<velmo::StreamSlice> complete;
        cutter_.add(events.data(), events.size(), triggers.data(), triggers.size(), coming_us, complete);
        return listOf(std::move(complete));
    }

    py::typing::List<velmo::io::Slice> finish() {
        std::vector<velmo::StreamSlice> rest;
        cutter_.finish(rest);
        return listOf(std::move(rest));
    }

private:
    static py::typing::List<velmo::io::Slice> listOf(std::vector<velmo::StreamSlice>&& slices) {
        py::typing::List<velmo::io::Slice> list;
        for (velmo::StreamSlice& slice : slices) list.append(velmo::io::sliceOf(std::move(slice)));
        return list;
    }

    Decoder decoder_;
    velmo::SliceCutter cutter_;
};

template <std::uint64_t velmo::Evt3DecodeCounters::*counter>
std::uint64_t countOf(Decoder& decoder) {
    return decoder.counters().*counter;
}

}  // namespace

void bindIoDecoding(py::module_& module) {
    py::class_<Decoder> decoder(module, "Decoder",
                                "Decodes a raw EVT3 stream, chunk after chunk, into events and trigger edges. "
                                "Any bytes are accepted: what cannot be decoded is skipped and counted.",
                                velmo::binding::guardedNativeObject());
    velmo::binding::refuseCopies(decoder, "it holds a stream's state; make a new Decoder");
    decoder
        .def(py::init<const velmo::io::FormatArgument&>(),
             "raw_format (a RawEventStreamFormat or its text) gives the sensor's width and height: events "
             "beyond them are dropped and counted. Without it, or without a width or height, every 11-bit "
             "address is kept. ValueError for malformed text or an encoding other than EVT3. A text header at "
             "the stream's start (lines starting with \"% \", the last \"% end\") is skipped, and its format "
             "line gives the size; ValueError when it contradicts raw_format, and for bytes whose first MiB "
             "holds no TIME_HIGH word (not EVT3): the decoder then refuses every call until reset.",
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

    py::class_<ChunkSlicer> slicer(module, "_ChunkSlicer",
                                   "The engine of velmo.io.slices: the chunks of one raw EVT3 stream in, the slices "
                                   "they complete out.",
                                   velmo::binding::guardedNativeObject());
    velmo::binding::refuseCopies(slicer, "it holds a stream's state");
    slicer
        .def(py::init<const velmo::io::FormatArgument&, std::int64_t>(), py::kw_only(), py::arg("raw_format"),
             py::arg("slice_us"))
        .def("feed", &ChunkSlicer::feed, "Decodes the next chunk; returns the slices it completes.", py::arg("data"))
        .def("finish", &ChunkSlicer::finish, "The stream has ended: returns the slices holding its last records.");

    module.def(
        "decode",
        [](py::handle data, const velmo::io::FormatArgument& raw_format) { return Decoder(raw_format).decode(data); },
        "Decodes a whole raw EVT3 stream in one call, as a new Decoder(raw_format) would; a last odd byte, half "
        "a word, is ignored. Returns (events, triggers).",
        py::arg("data"), py::kw_only(), py::arg("raw_format") = py::none());
}

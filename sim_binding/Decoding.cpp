#include "SimBindings.h"

#include <VelmoBase/Event2D.h>
#include <VelmoHal/device/Evt3Decoder.h>
#include <VelmoHal/device/Evt3StreamScan.h>
#include <VelmoHal/device/RawEventStreamFormat.h>
#include <VelmoHal/device/RawFileHeader.h>
#include <VelmoHal/device/TriggerEvent.h>
#include <VelmoBinding/Gil.h>
#include <VelmoBinding/NativeObjects.h>
#include "Buffers.h"
#include "RecordingSupport.h"

#include <pybind11/numpy.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <stdexcept>
#include <string>
#include <variant>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace py = pybind11;

namespace {

struct FreeMemory {
    void operator()(void* memory) const { std::free(memory); }
};
using Memory = std::unique_ptr<void, FreeMemory>;

// Large outputs are fresh memory on every call, and the kernel's work to fault it in 4 KiB pages
// cost more than decoding into it: such blocks ask for huge pages, as NumPy does for its own
// arrays of this size, and start on a huge page's boundary, without which the pages around
// both ends of the block stay small (about 500 faults for a million events instead of 10).
constexpr std::size_t kHugePageRequestBytes = std::size_t{4} << 20;
constexpr std::size_t kHugePageBytes = std::size_t{2} << 20;

void* allocateLarge(std::size_t bytes) {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    void* memory = nullptr;
    if (posix_memalign(&memory, kHugePageBytes, bytes) != 0) return nullptr;
    // Only a hint: where the kernel refuses it, the pages come as before.
    madvise(memory, bytes, MADV_HUGEPAGE);
    return memory;
#else
    return std::malloc(bytes);
#endif
}

// Room for count records, at least one so that an empty result still has memory of its own.
template <typename Record>
Memory allocateRecords(std::size_t count) {
    const std::size_t bytes = std::max<std::size_t>(count, 1) * sizeof(Record);
    void* memory = bytes >= kHugePageRequestBytes ? allocateLarge(bytes) : std::malloc(bytes);
    if (memory == nullptr) throw std::bad_alloc();
    return Memory(memory);
}

// Gives back what the decoder did not fill; shrinking keeps the records where they are.
template <typename Record>
void shrinkRecords(Memory& memory, std::size_t count) {
    if (void* smaller = std::realloc(memory.get(), std::max<std::size_t>(count, 1) * sizeof(Record))) {
        memory.release();
        memory.reset(smaller);
    }
}

// A NumPy array of the records, owning their memory.
template <typename Record>
py::array arrayOf(Memory memory, std::size_t count) {
    py::capsule owner(memory.get(), [](void* records) { std::free(records); });
    void* records = memory.release();
    return py::array(py::dtype::of<Record>(), {static_cast<py::ssize_t>(count)},
                     {static_cast<py::ssize_t>(sizeof(Record))}, records, owner);
}

velmo::Evt3Decoder decoderFor(const std::optional<velmo::RawEventStreamFormat>& raw_format) {
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
    explicit Decoder(const velmo::sim::FormatArgument& raw_format)
        : given_(velmo::sim::formatOf(raw_format)), decoder_(decoderFor(given_)) {}

    py::tuple decode(py::handle data) {
        const velmo::sim::ByteView bytes(data);
        Memory events;
        Memory triggers;
        velmo::Evt3Decoded decoded;
        {
            velmo::binding::ReleasedGil released;
            std::lock_guard<std::mutex> lock(mutex_);
            const velmo::RawHeaderFilter::Bytes stream = streamData(bytes.data(), bytes.size());
            const velmo::Evt3Capacity capacity = decoder_.capacityFor(stream.data, stream.size);
            events = allocateRecords<velmo::Event2D>(capacity.events);
            triggers = allocateRecords<velmo::TriggerEvent>(capacity.triggers);
            decoded = decoder_.decode(stream.data, stream.size, static_cast<velmo::Event2D*>(events.get()),
                                      static_cast<velmo::TriggerEvent*>(triggers.get()));
            shrinkRecords<velmo::Event2D>(events, decoded.events);
            shrinkRecords<velmo::TriggerEvent>(triggers, decoded.triggers);
        }
        return py::make_tuple(arrayOf<velmo::Event2D>(std::move(events), decoded.events),
                              arrayOf<velmo::TriggerEvent>(std::move(triggers), decoded.triggers));
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
                    velmo::RawEventStreamFormat(velmo::rawFormatOf(filter_.header(), given_)));
            start_.check(stream.data, stream.size);
            return stream;
        } catch (const std::invalid_argument& error) {
            refusal_ = error.what();
            throw;
        }
    }

    std::mutex mutex_;
    std::optional<velmo::RawEventStreamFormat> given_;
    velmo::Evt3Decoder decoder_;
    velmo::RawHeaderFilter filter_;
    velmo::Evt3StartCheck start_;
    std::string refusal_;
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
        .def(py::init<const velmo::sim::FormatArgument&>(),
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

    module.def(
        "decode",
        [](py::handle data, const velmo::sim::FormatArgument& raw_format) { return Decoder(raw_format).decode(data); },
        "Decodes a whole raw EVT3 stream in one call, as a new Decoder(raw_format) would; a last odd byte, half "
        "a word, is ignored. Returns (events, triggers).",
        py::arg("data"), py::kw_only(), py::arg("raw_format") = py::none());
}

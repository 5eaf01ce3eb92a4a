#include <VelmoFrames/Kernels.h>

#include <algorithm>
#include <limits>
#include <memory>
#include <utility>
#include <vector>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace velmo::frames {

namespace {

// Each thread keeps its scratch memory of up to this size for the next call: memory freed to
// the system comes back as fresh pages, and the page faults of a 1280 x 720 frame's table cost
// more than a pass over 1e6 events.
constexpr std::size_t kKeptScratchBytes = std::size_t{64} << 20;

// What a pixel of the time surface holds before decay when it has no event.
constexpr float kNoEvent = std::numeric_limits<float>::infinity();

// A vector of this thread's that keeps its memory between calls, up to kKeptScratchBytes.
template <typename Value>
class KeptScratch {
public:
    KeptScratch() : values_(std::move(kept())) {}
    ~KeptScratch() {
        if (values_.capacity() * sizeof(Value) <= kKeptScratchBytes) kept().swap(values_);
    }
    KeptScratch(const KeptScratch&) = delete;
    KeptScratch& operator=(const KeptScratch&) = delete;

    std::vector<Value>& operator*() { return values_; }
    std::vector<Value>* operator->() { return &values_; }

private:
    static std::vector<Value>& kept() {
        thread_local std::vector<Value> values;
        return values;
    }

    std::vector<Value> values_;
};

// Where an event's plane starts, given where the ON plane starts (0 when not split). It is
// computed, not branched to: polarity is as good as random in a stream, and a mispredicted
// branch per event costs more than the rest of a pass. A mask rather than a product: with the
// product, a histogram's pass over 1e6 events and more took an eighth longer.
std::size_t planeStart(std::size_t onPlaneStart, std::uint8_t polarity) {
    return onPlaneStart & (std::size_t{0} - static_cast<std::size_t>(polarity != 0));
}

// weight for an ON event, -weight for an OFF one. The sign bit is set by integer arithmetic:
// GCC turns a choice of +1 or -1 by polarity, however written, into a branch, and polarity is
// as good as random.
float withSignOf(std::uint8_t polarity, float weight) {
    std::uint32_t bits;
    std::memcpy(&bits, &weight, sizeof bits);
    bits ^= static_cast<std::uint32_t>(polarity == 0) << 31;
    std::memcpy(&weight, &bits, sizeof weight);
    return weight;
}

// exp(-age / tau) to single precision, all in float so that a loop of it vectorises four
// values to an SSE register (the same in double took twice the instructions per value, and
// the C library's exp is one call per value). With y = age log2(e) / tau it is 2^k 2^f, k the
// integer nearest y and 2^f from its Taylor series to the sixth power (relative error below
// 2e-7 for |f| <= 1/2). A large age leaves no digits for f in a plain float product, so y is
// kept as three parts: age and the constant are each cut into a head of 12 significant bits
// and the rest, the products of heads and of the age's rest with the constant's head are then
// exact, and the third, of the age with the constant's rest, is too small to matter.
class Decay {
public:
    explicit Decay(double tau_us) {
        // A constant past float's range makes every age but 0 decay to nothing, as a cut
        // one does: ages are whole microseconds.
        const double perMicrosecond = std::min(1.4426950408889634 / tau_us, 0x1p100);
        head_ = headOf(static_cast<float>(perMicrosecond));
        rest_ = static_cast<float>(perMicrosecond - static_cast<double>(head_));
        // Below 2^-125 the result leaves float's normal range: such ages, and no event, give 0.
        // The limit is finite, so that no event's age makes no infinity in the products.
        longestAge_ = static_cast<float>(
            std::min(kLowestPower / perMicrosecond * (1 - 1e-6), double{std::numeric_limits<float>::max()}));
    }

    float operator()(float age) const {
        const float a = std::min(age, longestAge_);
        const float ageHead = headOf(a);
        const float exactPart = ageHead * head_;
        const float smallPart = (a - ageHead) * head_;
        const float tinyPart = a * rest_;
        const auto k = static_cast<std::int32_t>(exactPart + smallPart + tinyPart + 0.5f);
        const float f = ((static_cast<float>(k) - exactPart) - smallPart) - tinyPart;
        const float powerOfF =
            1.0f + f * (kLn2 + f * (kLn2 * kLn2 / 2 +
                                    f * (kLn2 * kLn2 * kLn2 / 6 +
                                         f * (kLn2 * kLn2 * kLn2 * kLn2 / 24 +
                                              f * (kLn2 * kLn2 * kLn2 * kLn2 * kLn2 / 120 +
                                                   f * (kLn2 * kLn2 * kLn2 * kLn2 * kLn2 * kLn2 / 720))))));
        const std::uint32_t bits = static_cast<std::uint32_t>(127 - k) << 23;
        float powerOfK;
        std::memcpy(&powerOfK, &bits, sizeof powerOfK);
        // A product with 0 or 1 rather than a choice: GCC keeps a choice between a computed
        // value and 0 as a branch when the pass is a function of its own, and then leaves the
        // loop unvectorised.
        return powerOfF * powerOfK * static_cast<float>(age < longestAge_);
    }

private:
    static constexpr double kLowestPower = 125;
    static constexpr float kLn2 = 0.693147180559945f;

    // value with all but the 12 leading bits of its significand cleared
    static float headOf(float value) {
        std::uint32_t bits;
        std::memcpy(&bits, &value, sizeof bits);
        bits &= 0xFFFFF000u;
        std::memcpy(&value, &bits, sizeof value);
        return value;
    }

    float head_;
    float rest_;
    float longestAge_;
};

// Decays every value in place. On x86-64 the loader picks the widest vectors the processor
// has. The decay of a 1280 x 720 split surface is the larger part of a time surface of up to
// about 2e6 events, and took 1.5 ns a value four to an instruction, 0.65 eight to one and 0.3
// sixteen to one. The clones round alike: the same operations in the same order, and no
// contraction into fused multiply-adds (CMakeLists.txt).
#if defined(__x86_64__)
__attribute__((target_clones("avx512f", "avx2", "default")))
#endif
void decayAll(const Decay decayOf, float* values, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) values[i] = decayOf(values[i]);
}

struct NoPayload {};

// Events go through in blocks of 8192, and each event in two steps. The first works out its
// table entry and what it adds there, into a buffer that stays in the core's own cache, and
// asks for the entry's line of the table; the second applies it kAhead events later, by when
// the line has come. The table's scattered updates then wait on no miss, and the work of the
// first step fills the time while the lines come. Done in one step, the pass ran at half the
// speed of two loops, one over the block after the other; interleaved 64 events apart it took
// 0.88x to 0.97x of their time for the histogram, 0.79x to 0.83x for the time surface's forward
// passes and 0.81x to 0.84x for the voxel grid (32 and 128 apart were no better).
//
// prepare(i, entry, payload) fills event i's entry and payload and says whether the event
// counts; one that does not must be given an entry and payload that apply leaves as it was.
// prefetch(entry) asks for the lines apply will update, and apply(entry, payload) updates the
// table, in the events' order. Returns the events that did not count.
template <typename Payload, typename Run, typename Prepare, typename Prefetch, typename Apply>
std::size_t inBlocks(const Run& events, Prepare&& prepare, Prefetch&& prefetch, Apply&& apply) {
    constexpr std::size_t kAhead = 64;
    constexpr std::size_t kBlockEvents = 8192;
    // On the heap, not thread_local: in a shared library each use of a thread_local's address
    // may become a call to find it, and the compiler did put one in every step of the loops.
    const std::unique_ptr<std::size_t[]> entries(new std::size_t[kBlockEvents]);
    const std::unique_ptr<Payload[]> payloads(new Payload[kBlockEvents]);
    std::size_t* const blockEntries = entries.get();
    Payload* const blockPayloads = payloads.get();
    std::size_t leftOut = 0;
    const auto prepareAndAsk = [&](std::size_t first, std::size_t j) {
        leftOut += !prepare(first + j, blockEntries[j], blockPayloads[j]);
        prefetch(blockEntries[j]);
    };
    for (std::size_t first = 0; first < events.count; first += kBlockEvents) {
        const std::size_t count = std::min(kBlockEvents, events.count - first);
        const std::size_t ahead = std::min(kAhead, count);
        for (std::size_t j = 0; j < ahead; ++j) prepareAndAsk(first, j);
        for (std::size_t j = ahead; j < count; ++j) {
            prepareAndAsk(first, j);
            apply(blockEntries[j - ahead], blockPayloads[j - ahead]);
        }
        for (std::size_t j = count - ahead; j < count; ++j) apply(blockEntries[j], blockPayloads[j]);
    }
    return leftOut;
}

// A prefetch for inBlocks: asks for the line of `table` that holds an entry, to be written.
template <typename Value>
auto linesOf(Value* table) {
    return [table](std::size_t entry) { __builtin_prefetch(table + entry, 1); };
}

// Calls pass with the events as a run whose stride is a constant where the records lie back to
// back, as in every array not sliced with a step: the compiler then folds the stride into each
// load's address rather than multiplying by it per record, and the time surface's and voxel
// grid's passes over 1e7 events and more took a tenth less.
template <typename Pass>
decltype(auto) byLayout(const EventRun& events, Pass&& pass) {
    if (events.stride == static_cast<std::ptrdiff_t>(sizeof(Event2D))) {
        return pass(BasicEventRun<PackedStride>{events.first, PackedStride{}, events.count});
    }
    return pass(events);
}

// Where event i goes in a table of planes that start as planeStart places them: its entry and
// whether it is inside the frame. An event outside is given `outsideEntry`.
struct EventEntry {
    std::size_t entry;
    bool inside;
};

template <typename Run>
EventEntry entryOf(const Run& events, std::size_t i, FrameShape shape, std::size_t onPlaneStart,
                   std::size_t outsideEntry) {
    const std::uint16_t x = events.x(i);
    const std::uint16_t y = events.y(i);
    const bool inside = shape.contains(x, y);
    return {inside ? planeStart(onPlaneStart, events.polarity(i)) + shape.index(x, y) : outsideEntry, inside};
}

template <typename Run>
std::size_t countOutsideOver(const Run& events, FrameShape shape) {
    std::size_t outside = 0;
    for (std::size_t i = 0; i < events.count; ++i) outside += !shape.contains(events.x(i), events.y(i));
    return outside;
}

#if defined(__x86_64__)
static_assert(offsetof(Event2D, x) == 0 && offsetof(Event2D, y) == 2 && offsetof(Event2D, polarity) == 4,
              "entriesFourAtATime reads x, y and polarity from a record's first 8 bytes");

// The entries of `count` back-to-back events, a multiple of 4, four at a time: a record's x, y
// and polarity lie in its first 8 bytes, so two loads and a shuffle put four events' fields in
// the lanes of one register. `adds` gets 1 for an event inside the frame and 0 for one
// outside, whose entry is then 0. Returns how many fell outside. The product y * width is of
// 32-bit halves: the frame must be narrower than 2^32. GCC left the same loop in C++ scalar.
__attribute__((target("avx2"))) std::size_t entriesFourAtATime(const unsigned char* records, std::size_t count,
                                                                FrameShape shape, std::size_t onPlaneStart,
                                                                std::size_t* entries, std::uint32_t* adds) {
    const __m256i low16 = _mm256_set1_epi64x(0xFFFF);
    const __m256i low8 = _mm256_set1_epi64x(0xFF);
    const __m256i one = _mm256_set1_epi64x(1);
    const __m256i width = _mm256_set1_epi64x(static_cast<long long>(shape.width));
    const __m256i height = _mm256_set1_epi64x(static_cast<long long>(shape.height));
    const __m256i onPlane = _mm256_set1_epi64x(static_cast<long long>(onPlaneStart));
    const __m256i lowHalves = _mm256_setr_epi32(0, 2, 4, 6, 0, 2, 4, 6);
    std::size_t inside = 0;
    for (std::size_t i = 0; i < count; i += 4) {
        const __m256i first = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(records + 16 * i));
        const __m256i second = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(records + 16 * i + 32));
        // Records 0, 2, 1, 3: their order does not matter to the counts.
        const __m256i heads = _mm256_unpacklo_epi64(first, second);
        const __m256i x = _mm256_and_si256(heads, low16);
        const __m256i y = _mm256_and_si256(_mm256_srli_epi64(heads, 16), low16);
        const __m256i polarity = _mm256_and_si256(_mm256_srli_epi64(heads, 32), low8);
        const __m256i in = _mm256_and_si256(_mm256_cmpgt_epi64(width, x), _mm256_cmpgt_epi64(height, y));
        const __m256i plane = _mm256_andnot_si256(_mm256_cmpeq_epi64(polarity, _mm256_setzero_si256()), onPlane);
        const __m256i entry = _mm256_add_epi64(_mm256_add_epi64(_mm256_mul_epu32(y, width), x), plane);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(entries + i), _mm256_and_si256(entry, in));
        const __m256i add = _mm256_permutevar8x32_epi32(_mm256_and_si256(in, one), lowHalves);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(adds + i), _mm256_castsi256_si128(add));
        inside += static_cast<std::size_t>(
            __builtin_popcount(static_cast<unsigned>(_mm256_movemask_pd(_mm256_castsi256_pd(in)))));
    }
    return count - inside;
}
#endif

// A histogram of fewer events than a quarter of its entries, counted straight into the result
// once it is zeroed. The byte table's own work, zeroing it and widening it into the result
// (about 150 us for a split 1280 x 720 frame), then costs more than its nearer updates save: at
// 1e5 events the call took 0.79x the time, and the two ways broke even at about a third of the
// entries. On x86-64 with AVX2, back-to-back events' entries are worked out 64 at a time, four
// to an instruction, before their updates: the call at 1e5 events took 0.84x the time of one
// loop doing both. Not inlined: in the caller, the other pass's loop came out 4% to 7% slower.
template <typename Count, typename Run>
__attribute__((noinline)) std::size_t sparseHistogram(const Run& events, FrameShape shape, std::size_t onPlaneStart,
                                                      std::size_t entries, Count* counts) {
    std::fill(counts, counts + entries, Count{0});
    const Run run = events;
    std::size_t outside = 0;
    std::size_t i = 0;
#if defined(__x86_64__)
    if constexpr (std::is_same_v<Run, BasicEventRun<PackedStride>>) {
        if (shape.width <= std::numeric_limits<std::uint32_t>::max() && __builtin_cpu_supports("avx2")) {
            constexpr std::size_t kChunk = 64;
            std::size_t chunkEntries[kChunk];
            std::uint32_t chunkAdds[kChunk];
            for (; i + kChunk <= run.count; i += kChunk) {
                outside += entriesFourAtATime(run.at(i), kChunk, shape, onPlaneStart, chunkEntries, chunkAdds);
                for (std::size_t j = 0; j < kChunk; ++j) counts[chunkEntries[j]] += chunkAdds[j];
            }
        }
    }
#endif
    for (; i < run.count; ++i) {
        // An event outside adds 0 to the first entry rather than branching.
        const EventEntry at = entryOf(run, i, shape, onPlaneStart, 0);
        outside += !at.inside;
        counts[at.entry] += at.inside;
    }
    return outside;
}

// While the events go through, counts are kept a byte each, so that the table of a 1280 x 720
// split histogram is 1.8 MB rather than 7.4 and its updates find it in the nearer caches. A
// count that passes 255 wraps to 0, and its entry is noted then, to add 256 back at the end.
template <typename Count, typename Run>
std::size_t histogramOver(const Run& events, FrameShape shape, bool split, Count* counts) {
    const std::size_t pixels = shape.pixels();
    const std::size_t entries = pixels * (split ? 2 : 1);
    if (events.count < entries / 4) return sparseHistogram(events, shape, split ? pixels : 0, entries, counts);
    // Events outside the frame are counted one entry past the table's end, then dropped.
    const std::size_t outsideEntry = entries;
    KeptScratch<std::uint8_t> low;
    low->assign(entries + 1, 0);
    KeptScratch<std::size_t> wrapped;
    wrapped->clear();
    std::uint8_t* const lowCounts = low->data();
    const std::size_t outside = inBlocks<NoPayload>(
        events,
        [events, shape, onPlaneStart = split ? pixels : 0, outsideEntry](std::size_t i, std::size_t& entry,
                                                                        NoPayload&) {
            const EventEntry at = entryOf(events, i, shape, onPlaneStart, outsideEntry);
            entry = at.entry;
            return at.inside;
        },
        linesOf(lowCounts),
        [lowCounts, &wrapped](std::size_t entry, NoPayload) {
            const auto count = static_cast<std::uint8_t>(lowCounts[entry] + 1);
            lowCounts[entry] = count;
            // A copy: pushing `entry` itself kept it in memory at every step, for its address.
            if (count == 0) wrapped->push_back(std::size_t{entry});
        });
    for (std::size_t entry = 0; entry < entries; ++entry) counts[entry] = lowCounts[entry];
    for (const std::size_t entry : *wrapped) {
        if (entry != outsideEntry) counts[entry] += 256;
    }
    return outside;
}

// A time surface's entry for an event and its age at at_us, as inBlocks prepares them. An event
// after at_us is given no age, which leaves its entry as it was.
template <typename Run>
struct EventAge {
    Run events;
    FrameShape shape;
    std::size_t onPlaneStart;
    std::uint64_t at_us;

    bool operator()(std::size_t i, std::size_t& entry, float& age) const {
        const std::uint64_t t = events.timestamp(i);
        const EventEntry at = entryOf(events, i, shape, onPlaneStart, 0);
        entry = at.entry;
        age = at.inside && t <= at_us ? static_cast<float>(at_us - t) : kNoEvent;
        return at.inside;
    }
};

// Each entry's age at at_us of its latest event, for events in time order, as a camera gives
// them, with many to each entry. They go backwards: an entry's latest event at or before at_us
// is then the first met, and a bit per entry (a table a 32nd the size of the surface, which
// stays in the core's own cache) says whether it has been, so that the surface is written once
// per entry rather than read and written per event, and only then is an age worked out. With
// its table in that cache, the pass runs best as one loop rather than in blocks. Returns false
// at the first event out of time order, with `ages` and `outside` unfinished.
template <typename Run>
bool latestAgesBackwards(const EventAge<Run>& ageOf, std::size_t entries, float* ages, std::size_t& outside) {
    std::fill(ages, ages + entries, kNoEvent);
    KeptScratch<std::uint64_t> seen;
    seen->assign(entries / 64 + 1, 0);
    std::uint64_t* const seenBits = seen->data();
    // Events outside the frame go to the entry past the end, seen from the start.
    seenBits[entries / 64] |= std::uint64_t{1} << (entries % 64);
    const Run run = ageOf.events;
    const FrameShape shape = ageOf.shape;
    const std::uint64_t at_us = ageOf.at_us;
    outside = 0;
    for (std::size_t i = run.count; i-- > 0;) {
        const std::uint64_t t = run.timestamp(i);
        if (i > 0 && run.timestamp(i - 1) > t) return false;
        const auto [entry, inside] = entryOf(run, i, shape, ageOf.onPlaneStart, entries);
        outside += !inside;
        std::uint64_t& word = seenBits[entry / 64];
        const std::uint64_t bit = std::uint64_t{1} << (entry % 64);
        if ((word & bit) == 0 && t <= at_us) {
            word |= bit;
            ages[entry] = static_cast<float>(at_us - t);
        }
    }
    return true;
}

// Each entry's age at at_us of its latest event, in any order of the events: the least age
// met, of the entries and ages that prepare gives as EventAge does. Returns how many events fell
// outside the frame.
template <typename Run, typename Prepare>
std::size_t latestAgesForward(const Run& events, Prepare&& prepare, std::size_t entries, float* ages) {
    std::fill(ages, ages + entries, kNoEvent);
    return inBlocks<float>(events, prepare, linesOf(ages),
                           [ages](std::size_t entry, float age) { ages[entry] = std::min(ages[entry], age); });
}

// The time surface of fewer events than a quarter of the entries, where most entries have
// none: the forward pass notes each event's entry, and only those are decayed, gathered into
// a row for the decay, then put back into a surface cleared to 0. An entry met twice is decayed
// twice, to the same value. At 1e5 events on a 1280 x 720 frame this took 0.55x the time of
// testing runs of eight entries for an event; at half the entries and more, the scattered reads
// and writes cost more than decaying all.
template <typename Run>
std::size_t sparseTimeSurface(const EventAge<Run>& ageOf, std::size_t entries, const Decay& decayOf, float* surface) {
    const std::size_t count = ageOf.events.count;
    KeptScratch<std::size_t> eventEntries;
    eventEntries->resize(count);
    std::size_t* const entryOf = eventEntries->data();
    const std::size_t outside = latestAgesForward(
        ageOf.events,
        [&ageOf, entryOf](std::size_t i, std::size_t& entry, float& age) {
            const bool inside = ageOf(i, entry, age);
            entryOf[i] = entry;
            return inside;
        },
        entries, surface);
    KeptScratch<float> decayedValues;
    decayedValues->resize(count);
    float* const decayed = decayedValues->data();
    for (std::size_t i = 0; i < count; ++i) decayed[i] = surface[entryOf[i]];
    decayAll(decayOf, decayed, count);
    std::fill(surface, surface + entries, 0.0f);
    for (std::size_t i = 0; i < count; ++i) surface[entryOf[i]] = decayed[i];
    return outside;
}

template <typename Run>
std::size_t timeSurfaceOver(const Run& events, FrameShape shape, bool split, std::uint64_t at_us, double tau_us,
                            float* surface) {
    const std::size_t pixels = shape.pixels();
    const std::size_t entries = pixels * (split ? 2 : 1);
    const EventAge<Run> ageOf{events, shape, split ? pixels : 0, at_us};
    const Decay decayOf(tau_us);
    if (events.count < entries / 4) return sparseTimeSurface(ageOf, entries, decayOf, surface);
    std::size_t outside = 0;
    // The backward pass costs less than the forward one for an entry's later events and much
    // more for its first. On a camera's events the two broke even at about 16 events an entry:
    // at 5 to 16 the forward pass took 0.73x to 0.96x the time of the backward one, at 22 to 33
    // the backward pass took 0.88x to 0.94x the time of the forward one.
    // Should events that looked many to each entry turn out not to be in time order, the
    // forward pass starts over.
    const bool manyToEachEntry = events.count >= 20 * entries;
    if (!manyToEachEntry || !latestAgesBackwards(ageOf, entries, surface, outside)) {
        outside = latestAgesForward(events, ageOf, entries, surface);
    }
    decayAll(decayOf, surface, entries);
    return outside;
}

// What an event adds to the grid: `lower` to its pixel in the plane of the bin below it, and
// `upper` to the same pixel in the plane above.
struct VoxelShare {
    float lower;
    float upper;
};

template <typename Run>
std::size_t voxelGridOver(const Run& events, FrameShape shape, std::size_t bins, std::uint64_t start_us,
                      std::uint64_t end_us, float* grid) {
    const std::size_t pixels = shape.pixels();
    std::fill(grid, grid + bins * pixels, 0.0f);
    const std::uint64_t span = end_us - start_us;
    const bool oneBin = bins == 1;
    const double scale = span > 0 && !oneBin ? static_cast<double>(bins - 1) / static_cast<double>(span) : 0.0;
    // An event at the very end goes all to the last plane as the upper share of the one below,
    // so that every event has a plane above its own and the pass needs no test for the last bin.
    // A single bin is its own plane above, with an upper share of 0.
    const auto highestLower = static_cast<std::int64_t>(oneBin ? 0 : bins - 2);
    const std::size_t planeAbove = oneBin ? 0 : pixels;
    // An event left out adds zeros to the first entry. Sums start at +0 and so never become -0,
    // and adding a zero of either sign to any other value changes no bit of it. An event before
    // start_us has an offset that wraps past the span, and is left out with those after end_us.
    // Offsets are converted to double as signed where they all fit, which is one instruction;
    // from unsigned it is a branch and several.
    const auto pass = [&](auto offsetAsDouble) {
        return inBlocks<VoxelShare>(
            events,
            [events, shape, pixels, start_us, span, scale, highestLower, offsetAsDouble](
                std::size_t i, std::size_t& entry, VoxelShare& share) {
                const std::uint16_t x = events.x(i);
                const std::uint16_t y = events.y(i);
                const std::uint64_t offset = events.timestamp(i) - start_us;
                const bool counts = shape.contains(x, y) && offset <= span;
                const double position = offsetAsDouble(counts ? offset : 0) * scale;
                const std::int64_t lower = std::min(static_cast<std::int64_t>(position), highestLower);
                const float upperWeight = static_cast<float>(position - static_cast<double>(lower));
                const std::uint8_t polarity = events.polarity(i);
                entry = counts ? static_cast<std::size_t>(lower) * pixels + shape.index(x, y) : 0;
                share = {counts ? withSignOf(polarity, 1.0f - upperWeight) : 0.0f,
                         counts ? withSignOf(polarity, upperWeight) : 0.0f};
                return counts;
            },
            [grid, planeAbove](std::size_t entry) {
                __builtin_prefetch(grid + entry, 1);
                __builtin_prefetch(grid + entry + planeAbove, 1);
            },
            [grid, planeAbove](std::size_t entry, VoxelShare share) {
                grid[entry] += share.lower;
                grid[entry + planeAbove] += share.upper;
            });
    };
    if (span <= static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) {
        return pass([](std::uint64_t offset) { return static_cast<double>(static_cast<std::int64_t>(offset)); });
    }
    return pass([](std::uint64_t offset) { return static_cast<double>(offset); });
}

template <typename Value, typename Run>
std::uint64_t toColumnsOver(const Run& events, const Column (&order)[4], Value* rows) {
    std::size_t place[4];
    for (std::size_t column = 0; column < 4; ++column) place[static_cast<std::size_t>(order[column])] = column;
    const std::size_t timestampAt = place[static_cast<std::size_t>(Column::Timestamp)];
    const std::size_t xAt = place[static_cast<std::size_t>(Column::X)];
    const std::size_t yAt = place[static_cast<std::size_t>(Column::Y)];
    const std::size_t polarityAt = place[static_cast<std::size_t>(Column::Polarity)];
    // Each field is stored straight to its place in the row: picked by the order from an array
    // of the four, it made a round trip through memory. And the run is copied: through the
    // reference, its stride was reloaded after every store of an int64, which might change it.
    const Run run = events;
    std::uint64_t latest = 0;
    for (std::size_t i = 0; i < run.count; ++i) {
        const std::uint64_t t = run.timestamp(i);
        latest = std::max(latest, t);
        Value* const row = rows + 4 * i;
        row[timestampAt] = static_cast<Value>(t);
        row[xAt] = static_cast<Value>(run.x(i));
        row[yAt] = static_cast<Value>(run.y(i));
        row[polarityAt] = static_cast<Value>(run.polarity(i));
    }
    return latest;
}

template <typename Run>
bool timeSortedOver(const Run& events, std::size_t& firstDecrease) {
    for (std::size_t i = 1; i < events.count; ++i) {
        if (events.timestamp(i) < events.timestamp(i - 1)) {
            firstDecrease = i;
            return false;
        }
    }
    return true;
}

}  // namespace

std::size_t countOutside(const EventRun& events, FrameShape shape) {
    return byLayout(events, [&](const auto& run) { return countOutsideOver(run, shape); });
}

template <typename Count>
std::size_t histogram(const EventRun& events, FrameShape shape, bool split, Count* counts) {
    return byLayout(events, [&](const auto& run) { return histogramOver(run, shape, split, counts); });
}

template std::size_t histogram<std::uint32_t>(const EventRun&, FrameShape, bool, std::uint32_t*);
template std::size_t histogram<std::uint64_t>(const EventRun&, FrameShape, bool, std::uint64_t*);

std::size_t timeSurface(const EventRun& events, FrameShape shape, bool split, std::uint64_t at_us, double tau_us,
                       float* surface) {
    return byLayout(events, [&](const auto& run) { return timeSurfaceOver(run, shape, split, at_us, tau_us, surface); });
}

std::size_t voxelGrid(const EventRun& events, FrameShape shape, std::size_t bins, std::uint64_t start_us,
                      std::uint64_t end_us, float* grid) {
    return byLayout(events, [&](const auto& run) { return voxelGridOver(run, shape, bins, start_us, end_us, grid); });
}

template <typename Value>
std::uint64_t toColumns(const EventRun& events, const Column (&order)[4], Value* rows) {
    return byLayout(events, [&](const auto& run) { return toColumnsOver(run, order, rows); });
}

template std::uint64_t toColumns<std::int64_t>(const EventRun&, const Column (&)[4], std::int64_t*);
template std::uint64_t toColumns<std::int32_t>(const EventRun&, const Column (&)[4], std::int32_t*);
template std::uint64_t toColumns<double>(const EventRun&, const Column (&)[4], double*);
template std::uint64_t toColumns<float>(const EventRun&, const Column (&)[4], float*);

bool timeSorted(const EventRun& events, std::size_t& firstDecrease) {
    return byLayout(events, [&](const auto& run) { return timeSortedOver(run, firstDecrease); });
}

std::size_t firstAtOrAfter(const EventRun& events, std::size_t from, std::uint64_t t_us) {
    std::size_t low = from;
    std::size_t high = events.count;
    while (low < high) {
        const std::size_t middle = low + (high - low) / 2;
        if (events.timestamp(middle) < t_us) low = middle + 1;
        else high = middle;
    }
    return low;
}

template <typename Count>
void colour(const Count* off, const Count* on, std::size_t pixels, const Palette& palette, std::uint8_t* rgb) {
    const Rgb* byKind[4] = {&palette.none, &palette.off, &palette.on, &palette.both};
    for (std::size_t i = 0; i < pixels; ++i) {
        const Rgb& chosen = *byKind[(off[i] != 0 ? 1 : 0) + (on[i] != 0 ? 2 : 0)];
        rgb[3 * i] = chosen.red;
        rgb[3 * i + 1] = chosen.green;
        rgb[3 * i + 2] = chosen.blue;
    }
}

template void colour<std::uint32_t>(const std::uint32_t*, const std::uint32_t*, std::size_t, const Palette&,
                                    std::uint8_t*);
template void colour<std::uint64_t>(const std::uint64_t*, const std::uint64_t*, std::size_t, const Palette&,
                                    std::uint8_t*);
template void colour<std::uint8_t>(const std::uint8_t*, const std::uint8_t*, std::size_t, const Palette&,
                                   std::uint8_t*);

}  // namespace velmo::frames

#include "TestSupport.h"

#include <VelmoCodec/Evt3Decoder.h>
#include <VelmoCodec/Recording.h>
#include <VelmoCodec/RecordingIndex.h>
#include <VelmoSim/SimulatedCamera.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <algorithm>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <unistd.h>
#include <vector>

namespace velmo {
namespace {

namespace fs = std::filesystem;
using testing_support::Records;
using testing_support::sameRecords;

Records decodeAll(Evt3Decoder& decoder, const std::uint8_t* data, std::size_t size) {
    const Evt3Capacity capacity = decoder.capacityFor(data, size);
    Records records;
    records.events.resize(capacity.events);
    records.triggers.resize(capacity.triggers);
    const Evt3Decoded got = decoder.decode(data, size, records.events.data(), records.triggers.data());
    records.events.resize(got.events);
    records.triggers.resize(got.triggers);
    return records;
}

class RecordingIndexFile : public ::testing::Test {
protected:
    static constexpr std::uint64_t kSpanUs = 100'000;

    void SetUp() override {
        folder_ = fs::temp_directory_path() / ("velmo-index-" + std::to_string(::getpid()));
        fs::create_directories(folder_);
    }
    void TearDown() override { fs::remove_all(folder_); }

    std::string path(const std::string& name) const { return (folder_ / name).string(); }

    static RecordingHeader header(std::uint64_t start_us) {
        RecordingHeader header;
        header.raw_format = "EVT3;height=720;width=1280";
        header.start_us = start_us;
        return header;
    }

    // Records spans of a camera with triggers on, from start_us of its stream on.
    void record(const std::string& file, std::uint64_t start_us, int spans) {
        const auto camera = SimulatedCamera::open("");
        ASSERT_TRUE(camera->tool(ToolType::TRIGGER_IN)->setParam("enable", true));
        Records skipped;
        for (std::uint64_t done = 0; done < start_us; done += kSpanUs)
            camera->read(std::min(kSpanUs, start_us - done), skipped.events, skipped.triggers);
        RecordingWriter writer(file, header(start_us), false);
        for (int i = 0; i < spans; ++i) {
            Records span;
            camera->read(kSpanUs, span.events, span.triggers);
            writer.append(span.events.data(), span.events.size(), span.triggers.data(), span.triggers.size(),
                          start_us + (i + 1) * kSpanUs);
        }
        writer.finish();
    }

    static std::string contents(const std::string& file) {
        std::ifstream in(file, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }

    static RecordingIndex::DataReader readerOf(const RecordingReader& file) {
        return [&file](std::uint64_t offset, std::uint8_t* out, std::size_t size) { return file.readAt(offset, out, size); };
    }

    // What playback gives from t_us to the end, after reading through to t_us.
    static Records readThrough(const std::string& file, std::uint64_t t_us) {
        RecordingPlayback playback(file);
        Records records;
        while (playback.positionUs() + kSpanUs <= t_us) playback.read(kSpanUs, records.events, records.triggers);
        playback.read(t_us - playback.positionUs(), records.events, records.triggers);
        Records rest;
        while (playback.readSlice(kSpanUs, rest.events, rest.triggers)) {
        }
        return rest;
    }

    fs::path folder_;
};

// Decoding from any entry in its state gives exactly the records that follow its offset, and
// the entries lie no further apart than the step where the data is dense.
TEST_F(RecordingIndexFile, EveryEntryResumesTheDecodingExactly) {
    // Late enough in the camera's stream for the 24-bit time to wrap inside the recording.
    record(path("a.vrec"), 16'700'000, 3);
    const RecordingReader file(path("a.vrec"));
    std::vector<std::uint8_t> data(file.dataBytes());
    ASSERT_EQ(file.readAt(0, data.data(), data.size()), data.size());
    RecordingIndex index(std::vector<RecordingIndexEntry>{});
    ASSERT_TRUE(RecordingIndex::readTrailer(readerOf(file), file.dataBytes(), index));
    const RecordingIndex scanned = RecordingIndex::scan(readerOf(file), file.dataBytes());
    ASSERT_EQ(index.size(), scanned.size());
    ASSERT_GT(index.size(), 3 * kSpanUs / 10'000);

    Evt3Decoder whole;
    const Records all = decodeAll(whole, data.data(), data.size());
    std::uint64_t previous = 0;
    for (const std::uint64_t t : {16'700'001ull, 16'777'216ull, 16'850'000ull, 16'999'999ull}) {
        const RecordingIndexEntry entry = index.startFor(t);
        EXPECT_EQ(entry.offset, scanned.startFor(t).offset);
        EXPECT_LT(entry.state.time, t);
        EXPECT_GE(entry.state.time + 10'000, t);
        EXPECT_GT(entry.offset, previous);
        previous = entry.offset;
        Evt3Decoder before;
        const Records head = decodeAll(before, data.data(), static_cast<std::size_t>(entry.offset));
        EXPECT_EQ(before.streamState(), entry.state);
        Evt3Decoder resumed;
        resumed.resume(entry.state);
        const Records tail = decodeAll(resumed, data.data() + entry.offset, data.size() - entry.offset);
        EXPECT_TRUE(sameRecords(tail.events, all.events, head.events.size()));
        EXPECT_TRUE(sameRecords(tail.triggers, all.triggers, head.triggers.size()));
    }
    EXPECT_EQ(index.startFor(0).offset, 0u);
    EXPECT_FALSE(index.startFor(0).state.timed);
}

enum class Damage { None, CutShort, EntryBroken };

class SeekingRecording : public RecordingIndexFile, public ::testing::WithParamInterface<Damage> {};

// Seeking anywhere gives what reading through gives, on a finished file, one cut short (no
// index: one is built by reading it through) and one whose index is damaged.
TEST_P(SeekingRecording, GivesWhatReadingThroughGives) {
    record(path("whole.vrec"), 0, 4);
    std::string bytes = contents(path("whole.vrec"));
    if (GetParam() == Damage::CutShort) bytes.resize(bytes.size() * 2 / 3);
    if (GetParam() == Damage::EntryBroken) bytes[bytes.size() - 400] = 0x11;  // one word of an entry no longer OTHERS
    std::ofstream(path("damaged.vrec"), std::ios::binary) << bytes;
    const std::string file = path("damaged.vrec");

    RecordingPlayback playback(file);
    std::mt19937 random(3);
    std::vector<std::uint64_t> times = {0, 1, 399'999, 400'000, 500'000};
    for (int i = 0; i < 6; ++i) times.push_back(random() % 400'000);
    for (const std::uint64_t t : times) {
        playback.seek(t);
        EXPECT_EQ(playback.positionUs(), t);
        Records rest;
        while (playback.readSlice(kSpanUs, rest.events, rest.triggers)) {
        }
        const Records expected = readThrough(file, t);
        EXPECT_TRUE(sameRecords(rest.events, expected.events)) << "seek to " << t;
        EXPECT_TRUE(sameRecords(rest.triggers, expected.triggers)) << "seek to " << t;
    }
    // readEvents starts with the first event at or after the time too.
    playback.seek(250'000);
    Event2D first{};
    ASSERT_EQ(playback.readEvents(&first, 1), 1u);
    const Records expected = readThrough(file, 250'000);
    EXPECT_TRUE(testing_support::sameRecord(first, expected.events.front()));
}

INSTANTIATE_TEST_SUITE_P(Files, SeekingRecording, ::testing::Values(Damage::None, Damage::CutShort, Damage::EntryBroken));

// Raw bytes in pieces of odd lengths, ending in half a word: the file still finishes with an
// index its playback finds, and decodes to the bytes' records.
TEST_F(RecordingIndexFile, RawBytesOfAnyLengthFinishWithAnIndex) {
    record(path("source.vrec"), 0, 2);
    const RecordingReader source(path("source.vrec"));
    std::vector<std::uint8_t> data(source.dataBytes());
    source.readAt(0, data.data(), data.size());
    data.push_back(0x42);
    {
        RecordingWriter writer(path("raw.vrec"), header(0), false);
        for (std::size_t at = 0; at < data.size(); at += 1001)
            writer.appendRaw(data.data() + at, std::min<std::size_t>(1001, data.size() - at));
        writer.finish();
        EXPECT_EQ(writer.endUs(), RecordingPlayback(path("source.vrec")).file().endUs() - 1);
    }
    const RecordingReader copy(path("raw.vrec"));
    EXPECT_FALSE(copy.truncated());
    RecordingIndex index(std::vector<RecordingIndexEntry>{});
    EXPECT_TRUE(RecordingIndex::readTrailer(readerOf(copy), copy.dataBytes(), index));
    Evt3Decoder a;
    Evt3Decoder b;
    std::vector<std::uint8_t> copied(copy.dataBytes());
    copy.readAt(0, copied.data(), copied.size());
    EXPECT_TRUE(sameRecords(decodeAll(a, copied.data(), copied.size()).events, decodeAll(b, data.data(), data.size()).events));
}

}  // namespace
}  // namespace velmo

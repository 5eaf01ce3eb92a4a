#include "TestSupport.h"

#include <VelmoCodec/RecordBuffer.h>
#include <VelmoCodec/Recording.h>
#include <VelmoSim/SimulatedCamera.h>
#include <VelmoSim/ToolSettings.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <stdexcept>
#include <system_error>
#include <csignal>
#include <sys/resource.h>
#include <unistd.h>
#include <vector>

namespace velmo {
namespace {

namespace fs = std::filesystem;
using testing_support::Records;

::testing::AssertionResult mentions(const char* text, const std::string& part) {
    if (std::string(text).find(part) != std::string::npos) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "\"" << text << "\" does not mention \"" << part << "\"";
}

// The first records of `whole`, as many as `part` holds.
void expectPrefix(const Records& part, const Records& whole) {
    ASSERT_LE(part.events.size(), whole.events.size());
    ASSERT_LE(part.triggers.size(), whole.triggers.size());
    for (std::size_t i = 0; i < part.events.size(); ++i)
        ASSERT_TRUE(testing_support::sameRecord(part.events[i], whole.events[i])) << "event " << i;
    for (std::size_t i = 0; i < part.triggers.size(); ++i)
        ASSERT_TRUE(testing_support::sameRecord(part.triggers[i], whole.triggers[i])) << "trigger " << i;
}

Event2D eventAt(std::uint16_t x) {
    Event2D event{};
    event.x = x;
    event.timestamp = x;
    return event;
}

// Records survive every growth and cut, and the block handed over holds them all; a moved-from
// buffer owns nothing (the sanitizer run catches a double free).
TEST(RecordBuffer, KeepsItsRecordsThroughGrowthAndHandsTheBlockOver) {
    RecordBuffer<Event2D> buffer;
    for (std::uint16_t x = 0; x < 1000; ++x) *buffer.grow(1) = eventAt(x);
    buffer.truncate(600);
    const Event2D more[] = {eventAt(7000), eventAt(7001)};
    buffer.append(std::begin(more), std::end(more));
    buffer.shrinkToFit();
    RecordBuffer<Event2D> moved(std::move(buffer));
    EXPECT_EQ(buffer.size(), 0u);
    ASSERT_EQ(moved.size(), 602u);
    Event2D* block = moved.release();
    EXPECT_EQ(moved.size(), 0u);
    EXPECT_EQ(moved.release(), nullptr);
    for (std::uint16_t x = 0; x < 600; ++x) ASSERT_EQ(block[x].x, x);
    EXPECT_EQ(block[600].x, 7000);
    EXPECT_EQ(block[601].x, 7001);
    std::free(block);
}

class RecordingFile : public ::testing::Test {
protected:
    void SetUp() override {
        folder_ = fs::temp_directory_path() / ("velmo-recording-" + std::to_string(::getpid()));
        fs::create_directories(folder_);
    }
    void TearDown() override { fs::remove_all(folder_); }

    std::string path(const std::string& name) const { return (folder_ / name).string(); }

    static RecordingHeader headerOf(SimulatedCamera& camera, std::uint64_t start_us) {
        RecordingHeader header;
        header.raw_format = "EVT3;height=720;width=1280";
        header.camera = camera.description();
        header.settings = recordedSettings(camera.tools());
        header.recorded_at = utcTimestampNow();
        header.start_us = start_us;
        return header;
    }

    // Records the camera's next spans; the writer is left unfinished when asked.
    static void record(SimulatedCamera& camera, const std::string& file, std::uint64_t start_us,
                       const std::vector<std::uint64_t>& spans_us, bool finish = true) {
        RecordingWriter writer(file, headerOf(camera, start_us), false);
        std::uint64_t end_us = start_us;
        for (const std::uint64_t span : spans_us) {
            Records span_records;
            camera.read(span, span_records.events, span_records.triggers);
            end_us += span;
            writer.append(span_records.events.data(), span_records.events.size(), span_records.triggers.data(),
                          span_records.triggers.size(), end_us);
        }
        if (finish) writer.finish();
    }

    static Records playAll(const std::string& file) {
        RecordingPlayback playback(file);
        Records records;
        while (playback.readSlice(70'000, records.events, records.triggers)) {
        }
        return records;
    }

    static std::string contents(const std::string& file) {
        std::ifstream in(file, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }

    static void write(const std::string& file, const std::string& bytes) {
        std::ofstream(file, std::ios::binary | std::ios::trunc) << bytes;
    }

    fs::path folder_;
};

// The recording starts late enough for the 24-bit time to wrap inside it: the time stamps read
// back are still the camera's own.
TEST_F(RecordingFile, PlaysBackExactlyWhatTheCameraDelivered) {
    const auto recorded = SimulatedCamera::open("VLM636-000102");
    const auto fresh = SimulatedCamera::open("VLM636-000102");
    for (SimulatedCamera* camera : {recorded.get(), fresh.get()}) {
        ASSERT_TRUE(camera->tool(ToolType::TRIGGER_IN)->setParam("enable", true));
        Records skipped;
        camera->read(8'300'000, skipped.events, skipped.triggers);
        camera->read(8'300'000, skipped.events, skipped.triggers);
    }
    const std::uint64_t start_us = 16'600'000;
    const std::vector<std::uint64_t> spans{150'000, 1, 99'999, 200'000};
    record(*recorded, path("a.vrec"), start_us, spans);

    Records expected;
    for (const std::uint64_t span : spans) fresh->read(span, expected.events, expected.triggers);
    RecordingPlayback playback(path("a.vrec"));
    Records played;
    for (const std::uint64_t span : {123'456u, 200'000u, 126'544u}) playback.read(span, played.events, played.triggers);
    ASSERT_GT(expected.events.back().timestamp, evt3::kTimeWrapUs);
    ASSERT_GT(expected.triggers.size(), 0u);
    ASSERT_EQ(played.events.size(), expected.events.size());
    ASSERT_EQ(played.triggers.size(), expected.triggers.size());
    expectPrefix(played, expected);
    EXPECT_FALSE(playback.readSlice(1000, played.events, played.triggers));

    // The same through buffers, split elsewhere: a read's last piece stops near its end, and
    // what lies past the end waits for the next read.
    RecordingPlayback buffered(path("a.vrec"));
    RecordBuffer<Event2D> buffered_events;
    RecordBuffer<TriggerEvent> buffered_triggers;
    for (const std::uint64_t span : {1u, 50'000u, 7u, 149'992u, 3'000u, 247'000u})
        buffered.read(span, buffered_events, buffered_triggers);
    Records from_buffers;
    from_buffers.events.assign(buffered_events.data(), buffered_events.data() + buffered_events.size());
    from_buffers.triggers.assign(buffered_triggers.data(), buffered_triggers.data() + buffered_triggers.size());
    ASSERT_EQ(from_buffers.events.size(), expected.events.size());
    ASSERT_EQ(from_buffers.triggers.size(), expected.triggers.size());
    expectPrefix(from_buffers, expected);

    const RecordingReader& file = playback.file();
    EXPECT_FALSE(file.truncated());
    EXPECT_EQ(file.header().start_us, start_us);
    EXPECT_EQ(file.endUs(), start_us + 450'000);
    EXPECT_EQ(file.header().camera.serial, "VLM636-000102");
    EXPECT_EQ(file.header().settings.size(), recordedSettings(fresh->tools()).size());
}

TEST_F(RecordingFile, ReadEventsThenReadGivesEachEventOnce) {
    const auto camera = SimulatedCamera::open("");
    record(*camera, path("a.vrec"), 0, {100'000});
    const Records whole = playAll(path("a.vrec"));
    RecordingPlayback playback(path("a.vrec"));
    Records played;
    played.events.resize(1000);
    ASSERT_EQ(playback.readEvents(played.events.data(), 1000), 1000u);
    while (playback.readSlice(30'000, played.events, played.triggers)) {
    }
    ASSERT_EQ(played.events.size(), whole.events.size());
    expectPrefix(Records{played.events, {}}, whole);

    // Through buffers, the events readEvents decoded ahead go out first, then the read decodes
    // straight into the buffer; a span too long is refused before anything moves.
    RecordingPlayback buffered(path("a.vrec"));
    RecordBuffer<Event2D> events;
    RecordBuffer<TriggerEvent> triggers;
    ASSERT_EQ(buffered.readEvents(events.grow(1000), 1000), 1000u);
    EXPECT_THROW(buffered.read(SimulatedCamera::kMaxReadSpanUs + 1, events, triggers), std::invalid_argument);
    buffered.read(100'000, events, triggers);
    ASSERT_EQ(events.size(), whole.events.size());
    expectPrefix(Records{std::vector<Event2D>(events.data(), events.data() + events.size()), {}}, whole);
}

// Cut anywhere after the header, by a killed writer or a short copy: the complete words read
// back as the start of what was recorded, and the file says it was cut.
class CutRecording : public RecordingFile, public ::testing::WithParamInterface<double> {};

TEST_P(CutRecording, ReadsTheCompletePrefixAndSaysSo) {
    const auto camera = SimulatedCamera::open("");
    ASSERT_TRUE(camera->tool(ToolType::TRIGGER_IN)->setParam("enable", true));
    record(*camera, path("whole.vrec"), 0, {100'000, 100'000});
    const Records whole = playAll(path("whole.vrec"));
    const std::string bytes = contents(path("whole.vrec"));
    const std::size_t data_start = bytes.find("end-header\n") + 11;
    const auto cut = data_start + static_cast<std::size_t>(GetParam() * static_cast<double>(bytes.size() - data_start));
    write(path("cut.vrec"), bytes.substr(0, cut));

    const Records part = playAll(path("cut.vrec"));
    EXPECT_TRUE(RecordingReader(path("cut.vrec")).truncated());
    expectPrefix(part, whole);
    if (GetParam() > 0.5) {
        EXPECT_GT(part.events.size(), whole.events.size() / 3);
    }
    // The span ends where the complete data does, not where the header said.
    if (GetParam() < 0.9) {
        const std::uint64_t end_us = RecordingReader(path("cut.vrec")).endUs();
        EXPECT_LT(end_us, 200'000u);
        if (!part.events.empty()) {
            EXPECT_GT(end_us, part.events.back().timestamp);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Offsets, CutRecording, ::testing::Values(0.0, 0.0001, 0.37, 0.5, 0.9999));

TEST_F(RecordingFile, UnfinishedWriterLeavesAReadableCutRecording) {
    const auto camera = SimulatedCamera::open("");
    record(*camera, path("killed.vrec"), 0, {50'000, 50'000}, false);
    const RecordingReader file(path("killed.vrec"));
    EXPECT_TRUE(file.truncated());
    EXPECT_FALSE(file.header().end_us.has_value());
    EXPECT_GT(file.endUs(), 90'000u);
    EXPECT_LE(file.endUs(), 100'000u);
    EXPECT_GT(playAll(path("killed.vrec")).events.size(), 0u);
}

TEST_F(RecordingFile, RefusesToOverwriteUnlessAsked) {
    const auto camera = SimulatedCamera::open("");
    record(*camera, path("a.vrec"), 0, {10'000});
    const std::string before = contents(path("a.vrec"));
    try {
        RecordingWriter(path("a.vrec"), headerOf(*camera, 0), false);
        FAIL() << "an existing recording was overwritten";
    } catch (const std::system_error& error) {
        EXPECT_EQ(error.code(), std::errc::file_exists);
        EXPECT_TRUE(mentions(error.what(), path("a.vrec")));
    }
    EXPECT_EQ(contents(path("a.vrec")), before);
    RecordingWriter(path("a.vrec"), headerOf(*camera, 0), true).finish();
    EXPECT_EQ(RecordingReader(path("a.vrec")).dataBytes(), 0u);
}

struct BadFile {
    const char* name;
    // Turns a good recording's bytes into the bad file's.
    std::string (*make)(const std::string& good);
    const char* message;
};

void PrintTo(const BadFile& bad, std::ostream* out) { *out << bad.name; }

std::string replaced(std::string text, const std::string& from, const std::string& to) {
    return text.replace(text.find(from), from.size(), to);
}

class BadRecording : public RecordingFile, public ::testing::WithParamInterface<BadFile> {};

TEST_P(BadRecording, IsRefusedNamingThePath) {
    const auto camera = SimulatedCamera::open("");
    record(*camera, path("good.vrec"), 0, {20'000});
    write(path("bad.vrec"), GetParam().make(contents(path("good.vrec"))));
    try {
        RecordingPlayback playback(path("bad.vrec"));
        FAIL() << "a bad file was opened";
    } catch (const std::invalid_argument& error) {
        EXPECT_TRUE(mentions(error.what(), path("bad.vrec")));
        EXPECT_TRUE(mentions(error.what(), GetParam().message));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Files, BadRecording,
    ::testing::Values(
        BadFile{"Empty", [](const std::string&) { return std::string(); }, "not a recording"},
        BadFile{"OtherFile", [](const std::string& good) { return "PK\x03\x04" + good; }, "not a recording"},
        BadFile{"NewerVersion", [](const std::string& good) { return replaced(good, "version: 1", "version: 2"); },
                "version 2 is newer"},
        BadFile{"CutHeader", [](const std::string& good) { return good.substr(0, 60); }, "cut short inside its header"},
        BadFile{"CutFirstLine", [](const std::string& good) { return good.substr(0, 9); }, "cut short inside its header"},
        BadFile{"LongFirstLine", [](const std::string&) { return "VELMO EVENT RECORDING" + std::string(100, 'x'); },
                "not a recording"},
        BadFile{"NoSerial", [](const std::string& good) { return replaced(good, "serial: ", "serail: "); }, "no serial"},
        BadFile{"BadNumber", [](const std::string& good) { return replaced(good, "start-us: 0", "start-us: -1"); },
                "start-us is not a number"},
        BadFile{"GarbageLine", [](const std::string& good) { return replaced(good, "\nvid", "\n\x01\xff\nvid"); },
                "expected \"key: value\""},
        BadFile{"HalfFinished",
                [](const std::string& good) {
                    std::string bad = good;
                    return bad.replace(bad.find("end-us: ") + 8, 20, "unfinished          ");
                },
                "not both finished"},
        BadFile{"NotEvt3", [](const std::string& good) { return replaced(good, "raw-format: EVT3", "raw-format: EVT2"); },
                "raw-format"},
        BadFile{"BytesAfterData", [](const std::string& good) { return good + "xx"; }, "2 bytes follow"},
        BadFile{"EndPastAnyTime",
                [](const std::string& good) { return replaced(good, "end-us: 0000", "end-us: 1844"); },
                "end-us is neither a number up to"},
        BadFile{"EndBeyondItsData",
                [](const std::string& good) { return replaced(good, "end-us: 0000000", "end-us: 0000001"); },
                "cannot reach end-us"},
        BadFile{"StartNearTheLastTime",
                [](const std::string& good) { return replaced(good, "start-us: 0", "start-us: 18446744073709551000"); },
                "start-us is not a number"},
        BadFile{"EndlessHeader", [](const std::string&) { return "VELMO EVENT RECORDING\n" + std::string(70'000, 'x'); },
                "no end-header line"}));

TEST_F(RecordingFile, MissingFileIsAnOsError) {
    try {
        RecordingReader reader(path("missing.vrec"));
        FAIL() << "a missing file was opened";
    } catch (const std::system_error& error) {
        EXPECT_EQ(error.code(), std::errc::no_such_file_or_directory);
        EXPECT_TRUE(mentions(error.what(), path("missing.vrec")));
    }
}

}  // namespace
}  // namespace velmo

namespace velmo {
namespace {

// A file-size limit stops the writer inside a span: the file is cut back to its complete spans
// and finished, so it reads whole, as a shorter recording.
TEST_F(RecordingFile, WriteErrorLeavesAFinishedRecordingOfTheCompleteSpans) {
    const auto camera = SimulatedCamera::open("");
    const auto reference = SimulatedCamera::open("");
    RecordingWriter writer(path("full.vrec"), headerOf(*camera, 0), false);
    const auto header_bytes = static_cast<rlim_t>(fs::file_size(path("full.vrec")));
    const auto previous_handler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit limit{};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &limit), 0);
    const rlimit before = limit;
    limit.rlim_cur = header_bytes + 300'000;
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &limit), 0);
    Records written;
    std::uint64_t end_us = 0;
    bool stopped = false;
    for (int span = 0; span < 100 && !stopped; ++span) {
        Records span_records;
        camera->read(10'000, span_records.events, span_records.triggers);
        try {
            writer.append(span_records.events.data(), span_records.events.size(), span_records.triggers.data(),
                          span_records.triggers.size(), end_us + 10'000);
            end_us += 10'000;
            reference->read(10'000, written.events, written.triggers);
        } catch (const std::system_error& error) {
            EXPECT_EQ(error.code(), std::errc::file_too_large);
            stopped = true;
        }
    }
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &before), 0);
    std::signal(SIGXFSZ, previous_handler);
    ASSERT_TRUE(stopped);
    EXPECT_THROW(writer.append(nullptr, 0, nullptr, 0, end_us + 20'000), std::logic_error);
    writer.finish();

    const RecordingReader file(path("full.vrec"));
    EXPECT_FALSE(file.truncated());
    EXPECT_EQ(file.endUs(), end_us);
    EXPECT_EQ(file.header().data_bytes, fs::file_size(path("full.vrec")) - header_bytes);
    const Records played = playAll(path("full.vrec"));
    EXPECT_EQ(played.events.size(), written.events.size());
    expectPrefix(played, written);
}

// Meant to run far longer than the disk holds at its rate, the recording stops after its first
// span, finished, saying so in units that fit.
TEST_F(RecordingFile, PlannedEndBeyondTheDiskStopsAfterTheFirstSpan) {
    const auto camera = SimulatedCamera::open("");
    RecordingWriter writer(path("long.vrec"), headerOf(*camera, 0), false, std::uint64_t{1} << 50);
    Records span_records;
    camera->read(10'000, span_records.events, span_records.triggers);
    try {
        writer.append(span_records.events.data(), span_records.events.size(), span_records.triggers.data(),
                      span_records.triggers.size(), 10'000);
        FAIL() << "a recording that cannot fit went on";
    } catch (const RecordingOutOfSpace& error) {
        EXPECT_EQ(error.code(), std::errc::no_space_on_device);
        EXPECT_TRUE(mentions(error.reason().c_str(), "stopped after 0.01 s"));
        EXPECT_TRUE(mentions(error.reason().c_str(), " PB and "));
        EXPECT_TRUE(mentions(error.reason().c_str(), path("long.vrec")));
    }
    const RecordingReader file(path("long.vrec"));
    EXPECT_FALSE(file.truncated());
    EXPECT_EQ(file.endUs(), 10'000u);
    EXPECT_EQ(playAll(path("long.vrec")).events.size(), span_records.events.size());
}

TEST_F(RecordingFile, RecordingToADirectorySaysItIsOne) {
    const auto camera = SimulatedCamera::open("");
    for (const bool overwrite : {false, true}) {
        try {
            RecordingWriter writer(folder_.string(), headerOf(*camera, 0), overwrite);
            FAIL() << "a directory was recorded to";
        } catch (const std::system_error& error) {
            EXPECT_EQ(error.code(), std::errc::is_a_directory);
        }
    }
}

TEST_F(RecordingFile, DataThatShrankKeepsBeingRefused) {
    const auto camera = SimulatedCamera::open("");
    record(*camera, path("a.vrec"), 0, {50'000});
    RecordingReader file(path("a.vrec"));
    fs::resize_file(path("a.vrec"), fs::file_size(path("a.vrec")) - file.dataBytes() / 2);
    std::vector<std::uint8_t> out(file.dataBytes());
    for (int attempt = 0; attempt < 2; ++attempt) EXPECT_THROW(file.read(out.data(), out.size()), std::invalid_argument);
    fs::resize_file(path("a.vrec"), fs::file_size(path("a.vrec")) + file.dataBytes());
    EXPECT_THROW(file.read(out.data(), out.size()), std::invalid_argument);
}

}  // namespace
}  // namespace velmo

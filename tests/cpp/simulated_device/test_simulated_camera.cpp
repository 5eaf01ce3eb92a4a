#include "TestSupport.h"

#include <VelmoSim/RegisterFile.h>
#include <VelmoSim/SimulatedCamera.h>

#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <set>
#include <stdexcept>
#include <thread>

namespace velmo {
namespace {

std::vector<Event2D> read(SimulatedCamera& camera, std::size_t n) {
    std::vector<Event2D> events(n);
    events.resize(camera.readEvents(events.data(), n));
    return events;
}

// Reads in chunks of the given size until n events came or a read came back short.
std::vector<Event2D> readInChunks(SimulatedCamera& camera, std::size_t n, std::size_t chunk) {
    std::vector<Event2D> events;
    while (events.size() < n) {
        const std::vector<Event2D> part = read(camera, std::min(chunk, n - events.size()));
        events.insert(events.end(), part.begin(), part.end());
        if (part.size() < chunk) break;
    }
    return events;
}

TEST(Discovery, FindsTwoDistinctUsbCameras) {
    const auto cameras = discoverCameras();
    ASSERT_EQ(cameras.size(), 2u);
    EXPECT_NE(cameras[0].serial, cameras[1].serial);
    for (const CameraDescription& camera : cameras) {
        EXPECT_FALSE(camera.serial.empty());
        EXPECT_FALSE(camera.product.empty());
        EXPECT_FALSE(camera.manufacturer.empty());
        EXPECT_NE(camera.vid, 0);
        EXPECT_NE(camera.pid, 0);
        EXPECT_EQ(camera.interfaceType, USB);
    }
}

TEST(Opening, PicksTheCameraBySerial) {
    const auto cameras = discoverCameras();
    EXPECT_EQ(SimulatedCamera::open("")->description().serial, cameras[0].serial);
    EXPECT_EQ(SimulatedCamera::open(cameras[1].serial)->description().serial, cameras[1].serial);
    try {
        SimulatedCamera::open("no-such-camera");
        ADD_FAILURE() << "opened an unknown serial";
    } catch (const std::invalid_argument& error) {
        EXPECT_NE(std::string(error.what()).find("no-such-camera"), std::string::npos);
    }
}

TEST(Opening, DescribesAnEvt3StreamOfTheWholeSensor) {
    const auto camera = SimulatedCamera::open("");
    EXPECT_EQ(camera->rawFormat().getEncodingType(), RawEventStreamEncodingType::EVT3);
    EXPECT_EQ(camera->rawFormat().width(), 1280);
    EXPECT_EQ(camera->rawFormat().height(), 720);
}

TEST(CameraTools, AreSixLastingToolsInKindOrder) {
    const auto camera = SimulatedCamera::open("");
    const auto tools = camera->tools();
    const std::vector<ToolType> kinds{ToolType::BIAS, ToolType::TRIGGER_IN, ToolType::ANTI_FLICKER,
                                      ToolType::EVENT_TRAIL_FILTER, ToolType::EVENT_RATE_CONTROL, ToolType::ROI};
    ASSERT_EQ(tools.size(), kinds.size());
    for (std::size_t i = 0; i < kinds.size(); ++i) {
        EXPECT_EQ(tools[i]->getToolInfo().tool_type, kinds[i]);
        EXPECT_EQ(camera->tool(kinds[i]), tools[i]);
        EXPECT_EQ(tools[i]->key_prefix, "");
    }
    EXPECT_EQ(camera->tools(), tools);
    EXPECT_EQ(camera->tool(ToolType::APS_CTRL), nullptr);
}

TEST(CameraTools, ShareOneRegisterFilePerCamera) {
    const auto first = SimulatedCamera::open("");
    const auto second = SimulatedCamera::open("");
    ASSERT_TRUE(first->tool(ToolType::ROI)->setParam("x", 5));
    int x = -1;
    ASSERT_TRUE(second->tool(ToolType::ROI)->getParam("x", x));
    EXPECT_EQ(x, 0);
    ASSERT_TRUE(first->tool(ToolType::ROI)->getParam("x", x));
    EXPECT_EQ(x, 5);
}

TEST(EventStream, StaysOnTheSensorWithOrderedTimestamps) {
    const auto camera = SimulatedCamera::open("");
    const auto events = read(*camera, 500'000);
    ASSERT_EQ(events.size(), 500'000u);
    std::set<int> polarities;
    for (std::size_t i = 0; i < events.size(); ++i) {
        ASSERT_LT(events[i].x, 1280);
        ASSERT_LT(events[i].y, 720);
        ASSERT_LE(events[i].polarity, 1);
        if (i > 0) {
            ASSERT_LE(events[i - 1].timestamp, events[i].timestamp);
        }
        polarities.insert(events[i].polarity);
    }
    EXPECT_EQ(polarities.size(), 2u);
    // About a million events per second, so half a million span a fraction of a second.
    EXPECT_GT(events.back().timestamp, 100'000u);
    EXPECT_LT(events.back().timestamp, 2'000'000u);
}

TEST(EventStream, DependsOnlyOnTheSerialNotOnHowItIsRead) {
    const auto cameras = discoverCameras();
    const auto whole = SimulatedCamera::open(cameras[0].serial);
    const auto chunked = SimulatedCamera::open(cameras[0].serial);
    const auto other = SimulatedCamera::open(cameras[1].serial);
    const auto expected = read(*whole, 100'000);
    EXPECT_TRUE(testing_support::sameRecords(readInChunks(*chunked, 100'000, 777), expected));
    EXPECT_FALSE(testing_support::sameRecords(read(*other, 100'000), expected));
}

TEST(EventStream, IgnoresEmptyReads) {
    const auto camera = SimulatedCamera::open("");
    Event2D event{};
    EXPECT_EQ(camera->readEvents(nullptr, 10), 0u);
    EXPECT_EQ(camera->readEvents(&event, 0), 0u);
}

struct WindowCase {
    const char* mode;
    bool inside;
};

void PrintTo(const WindowCase& c, std::ostream* out) { *out << c.mode; }

class RegionOfInterest : public ::testing::TestWithParam<WindowCase> {};

TEST_P(RegionOfInterest, LetsThroughOnlyOneSideOfTheWindow) {
    const auto camera = SimulatedCamera::open("");
    const auto roi = camera->tool(ToolType::ROI);
    ASSERT_TRUE(roi->setParam("x", 100) && roi->setParam("y", 50) && roi->setParam("x_width", 300) &&
                roi->setParam("y_height", 200) && roi->setParam("mode", GetParam().mode) && roi->setParam("enable", true));
    const auto events = read(*camera, 5'000);
    ASSERT_EQ(events.size(), 5'000u);
    for (const Event2D& event : events) {
        const bool inside = event.x >= 100 && event.x < 400 && event.y >= 50 && event.y < 250;
        ASSERT_EQ(inside, GetParam().inside) << event.x << "," << event.y;
    }
}

INSTANTIATE_TEST_SUITE_P(Modes, RegionOfInterest, ::testing::Values(WindowCase{"ROI", true}, WindowCase{"RONI", false}),
                         [](const auto& info) { return std::string(info.param.mode); });

TEST(RegionOfInterest, CutsTheWindowAtTheSensorEdge) {
    const auto camera = SimulatedCamera::open("");
    const auto roi = camera->tool(ToolType::ROI);
    ASSERT_TRUE(roi->setParam("x", 1200) && roi->setParam("y", 700) && roi->setParam("enable", true));
    const auto events = read(*camera, 1'000);
    ASSERT_FALSE(events.empty());
    for (const Event2D& event : events) ASSERT_TRUE(event.x >= 1200 && event.y >= 700);
}

TEST(ClosedCamera, ItsToolsRefuseEveryParameterWithOneLineAndChangeNothing) {
    const auto camera = SimulatedCamera::open("");
    const auto roi = camera->tool(ToolType::ROI);
    const auto biases = camera->tool(ToolType::BIAS);
    ASSERT_TRUE(roi->setParam("x", 1200) && roi->setParam("y", 700) && roi->setParam("enable", true));
    camera->close();
    int x = -1;
    const std::string log = testing_support::stderrOf([&] {
        EXPECT_FALSE(roi->setParam("enable", false));
        EXPECT_FALSE(roi->setParam("x", 0));
        EXPECT_FALSE(biases->setParam("bias_diff_on", 10));
        EXPECT_FALSE(roi->getParam("x", x));
    });
    EXPECT_EQ(testing_support::lineCount(log), 4u) << log;
    EXPECT_NE(log.find("is closed"), std::string::npos) << log;
    EXPECT_EQ(x, -1);
    // The window the camera closed with still filters what the device itself reads.
    const auto events = read(*camera, 1'000);
    ASSERT_FALSE(events.empty());
    for (const Event2D& event : events) ASSERT_TRUE(event.x >= 1200 && event.y >= 700);
}

TEST(RegionOfInterest, ReturnsShortWhenNothingPasses) {
    const auto camera = SimulatedCamera::open("");
    const auto roi = camera->tool(ToolType::ROI);
    ASSERT_TRUE(roi->setParam("mode", "RONI") && roi->setParam("enable", true));
    EXPECT_TRUE(read(*camera, 10).empty());
    ASSERT_TRUE(roi->setParam("enable", false));
    EXPECT_EQ(read(*camera, 10).size(), 10u);
}

TEST(EventRateControl, CapsEveryAlignedSecond) {
    const auto camera = SimulatedCamera::open("");
    const auto erc = camera->tool(ToolType::EVENT_RATE_CONTROL);
    ASSERT_TRUE(erc->setParam("max_event_rate", 10'000) && erc->setParam("enable", true));
    const auto events = readInChunks(*camera, 45'000, 4'096);
    ASSERT_EQ(events.size(), 45'000u);
    std::map<std::uint64_t, std::size_t> per_second;
    for (std::size_t i = 0; i < events.size(); ++i) {
        if (i > 0) {
            ASSERT_LE(events[i - 1].timestamp, events[i].timestamp);
        }
        ++per_second[events[i].timestamp / 1'000'000];
    }
    ASSERT_GE(per_second.size(), 5u);
    // The stream holds far more than the cap, so every complete second is full.
    for (const auto& [second, count] : per_second) {
        EXPECT_LE(count, 10'000u) << second;
        if (second != per_second.rbegin()->first) {
            EXPECT_EQ(count, 10'000u) << second;
        }
    }
}

TEST(EventRateControl, DropsNothingAtItsDefaultRate) {
    const auto plain = SimulatedCamera::open("");
    const auto controlled = SimulatedCamera::open("");
    ASSERT_TRUE(controlled->tool(ToolType::EVENT_RATE_CONTROL)->setParam("enable", true));
    EXPECT_TRUE(testing_support::sameRecords(read(*controlled, 1'500'000), read(*plain, 1'500'000)));
}

TEST(EventRateControl, AppliesFromTheNextRead) {
    const auto camera = SimulatedCamera::open("");
    const auto erc = camera->tool(ToolType::EVENT_RATE_CONTROL);
    std::vector<Event2D> before;
    std::vector<Event2D> after;
    std::vector<TriggerEvent> triggers;
    camera->read(50'000, before, triggers);
    ASSERT_TRUE(erc->setParam("max_event_rate", 10'000) && erc->setParam("enable", true));
    camera->read(100'000, after, triggers);
    EXPECT_GT(before.size(), 25'000u);
    // A tenth of a second's budget.
    EXPECT_EQ(after.size(), 1'000u);
}

// Records are copied into caller memory that held anything before: every byte of a written
// record is the device's, fill bytes included, and the slots past the last one written are
// left alone.
TEST(EventStream, SetsEveryByteOfWrittenRecordsAndNothingBeyond) {
    const auto camera = SimulatedCamera::open("");
    const auto roi = camera->tool(ToolType::ROI);
    ASSERT_TRUE(roi->setParam("x", 640) && roi->setParam("y", 360) && roi->setParam("x_width", 8) &&
                roi->setParam("y_height", 8) && roi->setParam("enable", true));
    constexpr std::size_t kSlots = 20'000;
    constexpr unsigned char kStale = 0xA5;
    std::vector<Event2D> slots(kSlots);
    std::memset(static_cast<void*>(slots.data()), kStale, kSlots * sizeof(Event2D));
    const std::size_t written = camera->readEvents(slots.data(), kSlots);
    ASSERT_GT(written, 0u);
    ASSERT_LT(written, kSlots);
    const auto* bytes = reinterpret_cast<const unsigned char*>(slots.data());
    for (std::size_t i = 0; i < kSlots; ++i) {
        const unsigned char* record = bytes + i * sizeof(Event2D);
        for (std::size_t fill = 5; fill < 8; ++fill) {
            ASSERT_EQ(record[fill], i < written ? 0 : kStale) << "record " << i << ", byte " << fill;
        }
        if (i >= written) {
            ASSERT_TRUE(std::all_of(record, record + sizeof(Event2D), [](unsigned char b) { return b == kStale; }))
                << "record " << i;
        }
    }
}

// The child of a fork made while another thread reads must not wait for that thread's lock.
TEST(Fork, ChildIsToldToOpenTheCameraAgainInsteadOfHanging) {
    const auto camera = SimulatedCamera::open("");
    const auto roi = camera->tool(ToolType::ROI);
    ASSERT_TRUE(roi->setParam("mode", "RONI") && roi->setParam("enable", true));
    // Nothing passes, so this read holds the camera for its whole budget, about a second.
    std::thread reader([&] { read(*camera, 1'000'000); });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const pid_t child = fork();
    if (child == 0) {
        alarm(10);
        int refused = 0;
        Event2D event{};
        try {
            camera->readEvents(&event, 1);
        } catch (const std::runtime_error& error) {
            refused += std::string(error.what()).find("open it again") != std::string::npos;
        }
        try {
            camera->tool(ToolType::ROI);
        } catch (const std::runtime_error&) {
            ++refused;
        }
        _exit(refused == 2 ? 0 : 1);
    }
    ASSERT_GT(child, 0);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    reader.join();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "child status " << status;
    EXPECT_NE(camera->tool(ToolType::ROI), nullptr);
}

}  // namespace
}  // namespace velmo

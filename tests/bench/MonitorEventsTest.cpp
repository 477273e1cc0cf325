#include "MonitorEvents.h"

#include "JsonLogLine.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <unistd.h>

namespace fs = std::filesystem;
using zephyrscope::FormatJsonEvent;
using zephyrscope::JsonLogEvent;
using zephyrscope::JsonLogEventKind;
using zephyrscope::bench::MonitorEvents;

namespace {

class MonitorEventsTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        dir = fs::temp_directory_path() / ("monitor-events-" + std::to_string(::getpid()));
        fs::create_directories(dir);
        log = dir / "run.jsonl";
    }
    void TearDown() override { fs::remove_all(dir); }

    // Appends text as the program would: possibly a line in two writes.
    void append(const std::string& text)
    {
        std::ofstream out(log, std::ios::app | std::ios::binary);
        out << text;
    }
    static std::string line(JsonLogEventKind kind, std::int64_t wallMs, std::int64_t outageMs = 0,
                            const std::string& reason = "connection lost")
    {
        JsonLogEvent event;
        event.kind = kind;
        event.wallMs = wallMs;
        event.reason = reason;
        if (kind == JsonLogEventKind::OutageEnded) {
            event.outageMs = outageMs;
            event.sinceMs = wallMs - outageMs;
            event.resumed = true;
        }
        if (kind == JsonLogEventKind::FirstFrame)
            event.startupMs = 2100;
        std::string out;
        FormatJsonEvent(event, out, "soak");
        return out;
    }

    fs::path dir, log;
};

TEST_F(MonitorEventsTest, FollowsOutagesAsTheLogGrowsAndWaitsForAWholeLine)
{
    MonitorEvents events(log);
    events.update(); // not written yet
    EXPECT_FALSE(events.up());

    append(line(JsonLogEventKind::Opened, 1000));
    events.update();
    EXPECT_FALSE(events.up()) << "opened, but nothing played yet";
    append(line(JsonLogEventKind::FirstFrame, 3100));
    events.update();
    EXPECT_TRUE(events.up());

    // An outage whose reason quotes what looks like an event of its own.
    const std::string started
        = line(JsonLogEventKind::OutageStarted, 60000, 0, R"(server said "event":"outage_ended","duration_ms":1)");
    append(started.substr(0, started.size() / 2));
    events.update();
    EXPECT_TRUE(events.up()) << "half a line is not an event yet";
    EXPECT_TRUE(events.startsMs().empty());
    append(started.substr(started.size() / 2));
    events.update();
    EXPECT_FALSE(events.up());
    ASSERT_EQ(events.startsMs().size(), 1u);
    EXPECT_EQ(events.startsMs()[0], 60000);
    EXPECT_EQ(events.outagesEnded(), 0u) << "the quoted event in the reason was counted";

    append(line(JsonLogEventKind::FirstFrame, 66900) + line(JsonLogEventKind::OutageEnded, 67234, 7234));
    events.update();
    EXPECT_TRUE(events.up());
    append(line(JsonLogEventKind::OutageStarted, 180000) + line(JsonLogEventKind::OutageEnded, 185500, 5500)
           + line(JsonLogEventKind::OutageStarted, 300000));
    events.update();
    EXPECT_FALSE(events.up());
    EXPECT_EQ(events.startsMs(), (std::vector<std::int64_t> {60000, 180000, 300000}));
    EXPECT_EQ(events.durationsMs(), (std::vector<std::int64_t> {7234, 5500}));
    EXPECT_EQ(events.outagesEnded(), 2u);
}

TEST_F(MonitorEventsTest, ReadsEachLineOnceOverManyUpdates)
{
    MonitorEvents events(log);
    for (int i = 0; i < 5; ++i) {
        append(line(JsonLogEventKind::OutageStarted, 1000 * i) + line(JsonLogEventKind::OutageEnded, 1000 * i + 400, 400));
        events.update();
        events.update(); // nothing new
    }
    EXPECT_EQ(events.startsMs().size(), 5u);
    EXPECT_EQ(events.durationsMs().size(), 5u);
    EXPECT_FALSE(events.up()) << "no first frame in this log";
}

} // namespace

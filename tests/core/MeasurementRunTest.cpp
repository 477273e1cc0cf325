// A run without a window: its timers, its host and its player faked, its clock
// moved by hand, its logs real files in a scratch folder.
#include "ExitStatus.h"
#include "FakeClock.h"
#include "FakePlayer.h"
#include "MeasurementRun.h"
#include "MetricsFigures.h"
#include "PlayState.h"
#include "RunHost.h"
#include "RunTimer.h"
#include "SampleLine.h"
#include "TextDisplay.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

using namespace zephyrscope;
using namespace zephyrscope::testing;
namespace fs = std::filesystem;

namespace {

class FakeTimer final : public RunTimer {
public:
    void start(std::int32_t periodMs) override
    {
        active = true;
        starts.push_back(periodMs);
    }
    void stop() override { active = false; }
    bool isActive() const override { return active; }

    bool active = false;
    std::vector<std::int32_t> starts; // the period of each start, in order
};

class FakeHost final : public RunHost {
public:
    void showMessage(const std::string& text) override { messages.push_back(text); }
    int runAutoShutdown() override
    {
        ++countdowns;
        return countdownResult;
    }
    void endRun() override { ++ends; }

    std::vector<std::string> messages;
    int countdowns = 0;
    int countdownResult = 1; // OK
    int ends = 0;
};

class NoDisplay final : public TextDisplay {
public:
    void setText(const std::string&) override {}
};

std::string readFile(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream all;
    all << in.rdbuf();
    return all.str();
}

std::size_t lineCount(const fs::path& path)
{
    const std::string text = readFile(path);
    return static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n'));
}

// The JSON Lines log's lines of one event.
std::vector<std::string> eventLines(const fs::path& path, const std::string& event)
{
    std::vector<std::string> lines;
    std::istringstream in(readFile(path));
    for (std::string line; std::getline(in, line);) {
        if (line.find("\"event\":\"" + event + "\"") != std::string::npos)
            lines.push_back(line);
    }
    return lines;
}

class MeasurementRunTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/zephyrscope-run-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        dir = pattern;
        json = dir / "run.jsonl";
        run.setLogFileName((dir / "run.dat").string());
        run.setJsonLogName(json.string());
        run.setMetricsFigures(&metrics);
        run.usePlayer(player);
        run.begin();
    }
    void TearDown() override { fs::remove_all(dir); }

    // The run starts on its command line's URL, sampling.
    void start(bool monitor)
    {
        run.setMonitor(monitor);
        run.openLogs();
        run.start(kUrl, true);
    }

    // The player opens the URL and plays it.
    void entryPlays()
    {
        run.OnPlayStateChange(kPlayStateTransitioning);
        run.OnOpenStateChange(kOpenStateMediaOpen);
        player.state = kPlayStatePlaying;
        run.OnPlayStateChange(kPlayStatePlaying);
    }

    // The entry plays to its end and the player has nothing more.
    void entryEnds()
    {
        player.state = kPlayStateMediaEnded;
        run.OnPlayStateChange(kPlayStateMediaEnded);
        player.state = kPlayStateReady;
        run.OnPlayStateChange(kPlayStateReady);
    }

    const std::string kUrl = "rtsp://127.0.0.1:8554/live";
    fs::path dir;
    fs::path json;
    fs::path log() const { return dir / "run.dat"; }
    FakeClock clock;
    FakePlayer player;
    NoDisplay fps;
    FakeTimer sampleTimer;
    FakeTimer reconnectTimer;
    FakeHost host;
    MetricsFigures metrics;
    MeasurementRun run{clock, fps, sampleTimer, reconnectTimer, host};
};

} // namespace

TEST_F(MeasurementRunTest, AMonitoredEntryThatEndsIsAnOutageUntilItPlaysAgainAfterTheBackoff)
{
    start(true);
    EXPECT_EQ(player.urls, std::vector<std::string>{kUrl});
    EXPECT_EQ(sampleTimer.starts, std::vector<std::int32_t>{MeasurementRun::kSamplePeriodMs});
    entryPlays();
    run.tick();
    const std::size_t linesBefore = lineCount(log());
    EXPECT_TRUE(metrics.up);

    clock.advance(5000);
    entryEnds();
    const auto started = eventLines(json, "outage_started");
    ASSERT_EQ(started.size(), 1u) << readFile(json);
    EXPECT_NE(started[0].find("\"reason\":\"ended\""), std::string::npos) << started[0];
    EXPECT_TRUE(eventLines(json, "outage_ended").empty());
    // Down, nothing is sampled; the metrics still follow the outage.
    EXPECT_EQ(reconnectTimer.starts, std::vector<std::int32_t>{1000});
    run.tick();
    EXPECT_EQ(lineCount(log()), linesBefore);
    EXPECT_FALSE(metrics.up);
    EXPECT_EQ(metrics.outages, 1u);
    EXPECT_EQ(player.urls.size(), 1u) << "opened again before the back-off";

    clock.advance(1000);
    run.reconnect();
    EXPECT_FALSE(reconnectTimer.isActive());
    EXPECT_EQ(player.urls, (std::vector<std::string>{kUrl, kUrl}));
    clock.advance(500);
    entryPlays();
    const auto ended = eventLines(json, "outage_ended");
    ASSERT_EQ(ended.size(), 1u) << readFile(json);
    EXPECT_NE(ended[0].find("\"duration_ms\":1500"), std::string::npos) << ended[0];
    EXPECT_TRUE(metrics.up);
    EXPECT_DOUBLE_EQ(metrics.outageSeconds, 1.5);
    run.tick();
    EXPECT_EQ(lineCount(log()), linesBefore + 4) << "the second entry's media block and its sample";

    // A second loss soon after waits twice as long, and never offers the countdown.
    entryEnds();
    EXPECT_EQ(reconnectTimer.starts, (std::vector<std::int32_t>{1000, 2000}));
    EXPECT_EQ(host.countdowns, 0);
    EXPECT_EQ(metrics.outages, 2u);
}

TEST_F(MeasurementRunTest, AReconnectThePlayerRefusesWaitsAgainAndQuitEndsTheOpenOutage)
{
    start(true);
    entryPlays();
    run.OnMediaError(kUrl, "Connection refused");
    ASSERT_EQ(eventLines(json, "outage_started").size(), 1u) << readFile(json);
    player.state = kPlayStateReady;
    run.OnPlayStateChange(kPlayStateReady);
    EXPECT_EQ(reconnectTimer.starts, std::vector<std::int32_t>{1000});
    EXPECT_EQ(eventLines(json, "outage_started").size(), 1u) << "one outage, not one per event";

    player.failingCall = "URL";
    clock.advance(1000);
    run.reconnect();
    EXPECT_EQ(reconnectTimer.starts, (std::vector<std::int32_t>{1000, 2000}));
    EXPECT_TRUE(reconnectTimer.isActive());

    run.quit(kExitTerminated);
    EXPECT_FALSE(reconnectTimer.isActive());
    EXPECT_FALSE(sampleTimer.isActive());
    const auto ended = eventLines(json, "outage_ended");
    ASSERT_EQ(ended.size(), 1u) << readFile(json);
    EXPECT_NE(ended[0].find("\"resumed\":false"), std::string::npos) << ended[0];
    EXPECT_EQ(run.exitStatus(), kExitTerminated);
    EXPECT_EQ(host.ends, 1);
    run.quit(kExitNormal);
    EXPECT_EQ(host.ends, 1) << "the quit path runs once";
    EXPECT_EQ(run.exitStatus(), kExitTerminated);
}

TEST_F(MeasurementRunTest, ALogWriteFailureIsShownOnceStopsSamplingAndLeavesTheRunIncomplete)
{
    // A device that takes no byte: the JSON Lines log opens, and no line of it can be written.
    run.setJsonLogName("/dev/full");
    start(false);
    ASSERT_TRUE(host.messages.empty()) << host.messages.front();
    entryPlays();
    run.tick();
    run.tick();
    ASSERT_EQ(host.messages.size(), 1u);
    EXPECT_NE(host.messages[0].find("/dev/full"), std::string::npos) << host.messages[0];
    EXPECT_FALSE(sampleTimer.isActive());
    EXPECT_GE(metrics.logWriteFailures, 1u);

    // The clip plays to its end; the countdown's OK ends the run as incomplete.
    entryEnds();
    EXPECT_EQ(host.countdowns, 1);
    EXPECT_EQ(host.ends, 1);
    EXPECT_EQ(run.exitStatus(), kExitIncomplete);
    EXPECT_EQ(host.messages.size(), 1u);
}

TEST_F(MeasurementRunTest, ReopeningTheLogsAfterARotationWritesNewFilesAtTheirPaths)
{
    start(true);
    entryPlays();
    run.tick();
    fs::rename(log(), dir / "run.dat.1");
    fs::rename(json, dir / "run.jsonl.1");
    const std::string rotated = readFile(dir / "run.dat.1");

    run.reopenLogs();
    run.tick();
    EXPECT_EQ(readFile(dir / "run.dat.1"), rotated) << "nothing more goes into the rotated log";
    const std::string fresh = readFile(log());
    EXPECT_EQ(fresh.rfind(kLogHeader, 0), 0u) << fresh;
    EXPECT_EQ(lineCount(log()), 2u) << "the header and the tick after the rotation";
    EXPECT_EQ(lineCount(json), 1u) << readFile(json);
    EXPECT_TRUE(host.messages.empty());
}

#include "FakeClock.h"
#include "FakePlayer.h"
#include "MemoryLog.h"
#include "PlayState.h"
#include "PlaybackValues.h"
#include "PlayerError.h"
#include "Protocol.h"
#include "Sampler.h"
#include "TextDisplay.h"

#include <gtest/gtest.h>

#include <sstream>
#include <vector>

using namespace zephyrscope;
using namespace zephyrscope::testing;

namespace {

class RecordingDisplay final : public TextDisplay {
public:
    void setText(const std::string& text) override { texts.push_back(text); }
    std::vector<std::string> texts;
};

std::vector<std::string> fields(const std::string& line)
{
    std::vector<std::string> out;
    std::string field;
    std::istringstream in(line.substr(0, line.size() - 1));
    while (std::getline(in, field, '\t'))
        out.push_back(field);
    if (!line.empty() && line[line.size() - 2] == '\t')
        out.push_back("");
    return out;
}

class SamplerTest : public ::testing::Test {
protected:
    SamplerTest() { player.keepJournal = false; }

    // One tick at the given play time (seconds since the last play start) and frame rate.
    std::string tickInPlaying(double playSeconds, double fps)
    {
        clock.process = values.m_playStartClock + static_cast<std::int32_t>(playSeconds * 1000.0 + 0.5);
        player.state = kPlayStatePlaying;
        player.net.frameRate = static_cast<std::int32_t>(fps * 100.0 + 0.5);
        return tick();
    }

    std::string tick()
    {
        const std::size_t before = log.appends.size();
        sampler.OnTimer();
        EXPECT_EQ(log.appends.size(), before + 1);
        return log.appends.back();
    }

    std::string field(const std::string& line, const char* column)
    {
        static const char* columns[] = {"UTCTime",    "Time",          "Buf_Progress", "BufCount",     "BufTime",
                                        "Bit_Rate",   "BandWidth",     "Max_BandW",    "Frame_Rate",   "Rncode_Fr",
                                        "Fr_Skipped", "Received_Pkts", "Lost_Pkts",    "Recover_Pkts", "Quality",
                                        "Protocol",   "IFramerate",    "PlayerState"};
        const auto f = fields(line);
        EXPECT_EQ(f.size(), 18u) << line;
        for (std::size_t i = 0; i < 18 && i < f.size(); ++i)
            if (std::string(columns[i]) == column)
                return f[i];
        return "?";
    }

    FakeClock clock;
    FakePlayer player;
    MemoryLog log;
    RecordingDisplay fpsBox;
    PlaybackValues values;
    Sampler sampler{clock, player, log, fpsBox, values};
};

} // namespace

TEST_F(SamplerTest, IFramerateFollowsTheFrameEstimateThroughAPlay)
{
    values.m_playStartClock = 10000;
    struct Step {
        double playSeconds, fps;
        const char* iFramerate;
    };
    // Frame estimates 12.5, 25, 45, 45 (held, since 40 < 45) and 50.
    for (const Step& step : {Step{0.5, 25, "25.00"}, Step{1.0, 25, "25.00"}, Step{1.5, 30, "40.00"},
                             Step{2.0, 20, "0.00"}, Step{2.5, 20, "10.00"}})
        EXPECT_EQ(field(tickInPlaying(step.playSeconds, step.fps), "IFramerate"), step.iFramerate)
            << "at " << step.playSeconds << " s";

    // A tick in another state reports 0.00 and leaves the estimate alone.
    player.state = kPlayStatePaused;
    player.net.frameRate = 9900;
    EXPECT_EQ(field(tick(), "IFramerate"), "0.00");
    EXPECT_EQ(field(tickInPlaying(3.0, 20), "IFramerate"), "20.00"); // (60 - 50) / (3.0 - 2.5)

    // A new play start: 0.3 s is below the last play time, so the count starts over.
    values.m_playStartClock = 50000;
    EXPECT_EQ(field(tickInPlaying(0.3, 20), "IFramerate"), "20.00");
    EXPECT_EQ(field(tickInPlaying(0.8, 20), "IFramerate"), "20.00");
}

TEST_F(SamplerTest, ZeroFrameRateKeepsTheEstimateAtZeroUntilFramesFlow)
{
    values.m_playStartClock = 0;
    EXPECT_EQ(field(tickInPlaying(0.5, 0), "IFramerate"), "0.00");
    EXPECT_EQ(field(tickInPlaying(1.0, 0), "IFramerate"), "0.00");
    // Estimate still zero: the rate is counted from the play start, so it equals fps.
    EXPECT_EQ(field(tickInPlaying(1.5, 30), "IFramerate"), "30.00");
}

TEST_F(SamplerTest, IFramerateEqualsFrameRateWhileTheRateIsConstant)
{
    values.m_playStartClock = 2000;
    for (int i = 1; i <= 10; ++i) {
        const std::string line = tickInPlaying(0.5 * i, 29.97);
        EXPECT_EQ(field(line, "IFramerate"), "29.97");
        EXPECT_EQ(field(line, "Frame_Rate"), "29.97");
    }
}

TEST_F(SamplerTest, TwoTicksAtTheSamePlayTimeGiveZeroNotADivisionByZero)
{
    values.m_playStartClock = 1000;
    tickInPlaying(0.5, 25);
    EXPECT_EQ(field(tickInPlaying(0.5, 25), "IFramerate"), "0.00");
    // A tick in the very millisecond of a play start has no interval either.
    values.m_playStartClock = 90000;
    EXPECT_EQ(field(tickInPlaying(0.0, 25), "IFramerate"), "0.00");
}

TEST_F(SamplerTest, EveryStateButPlayingGivesZeroAndItsName)
{
    player.net.frameRate = 2500;
    for (std::int32_t state = 0; state <= 12; ++state) {
        if (state == kPlayStatePlaying)
            continue;
        player.state = state;
        const std::string line = tick();
        EXPECT_EQ(field(line, "IFramerate"), "0.00");
        EXPECT_EQ(field(line, "PlayerState"), PlayStateName(state));
        EXPECT_EQ(field(line, "Frame_Rate"), "25.00");
    }
}

TEST_F(SamplerTest, TimeCountsFromTheFirstTickAndRestartsAfterMediaEnded)
{
    clock.process = 7000;
    clock.stepPerRead = 1; // the clock moves on a little between readings
    EXPECT_EQ(field(tick(), "Time"), "0.0010");
    clock.process += 499;
    EXPECT_EQ(field(tick(), "Time"), "0.5010");
    clock.process += 4499;
    EXPECT_EQ(field(tick(), "Time"), "5.0010");

    values.m_restartClock = 1;
    clock.process += 499;
    EXPECT_EQ(field(tick(), "Time"), "0.0010");
    EXPECT_EQ(values.m_restartClock, 0);
    clock.process += 499;
    EXPECT_EQ(field(tick(), "Time"), "0.5010");
}

TEST_F(SamplerTest, ReadsTheClocksOncePerTickPlusOnceForEachBaseChange)
{
    sampler.OnTimer();
    EXPECT_EQ(std::string(clock.reads.begin(), clock.reads.end()), "ppw");
    clock.reads.clear();
    sampler.OnTimer();
    EXPECT_EQ(std::string(clock.reads.begin(), clock.reads.end()), "pw");
    clock.reads.clear();
    values.m_restartClock = 1;
    sampler.OnTimer();
    EXPECT_EQ(std::string(clock.reads.begin(), clock.reads.end()), "ppw");
}

TEST_F(SamplerTest, FirstTickWithTheRestartFlagSetTakesBothBaseSteps)
{
    values.m_restartClock = 1;
    sampler.OnTimer();
    EXPECT_EQ(std::string(clock.reads.begin(), clock.reads.end()), "pppw");
    EXPECT_EQ(values.m_restartClock, 0);
}

TEST_F(SamplerTest, TakesOneSnapshotOfThePlayerPerTick)
{
    player.keepJournal = true;
    sampler.OnTimer();
    sampler.OnTimer();
    EXPECT_EQ(player.journal, (std::vector<std::string> {"snapshot", "snapshot"}));
    EXPECT_EQ(player.liveObjects, 0);
}

TEST_F(SamplerTest, PutsEachValueInItsColumnAndTheFpsBox)
{
    player.net = {};
    player.net.bufferingProgress = 42;
    player.net.bufferingCount = 3;
    player.net.bufferingTime = 5000;
    player.net.bitRate = 512000;
    player.net.bandWidth = 600000;
    player.net.maxBandwidth = 700000;
    player.net.frameRate = 2997;
    player.net.encodedFrameRate = 30;
    player.net.framesSkipped = 7;
    player.net.receivedPackets = 800;
    player.net.lostPackets = 9;
    player.net.recoveredPackets = 2;
    player.net.receptionQuality = 98;
    player.net.protocol = protocolNamed("HTTP");
    player.state = kPlayStateBuffering;
    clock.wall = {1765080001, 50};
    const std::string line = tick();
    EXPECT_EQ(line, "1765080001.50\t0.0000\t 42\t 3\t 5000\t  512000\t  600000\t  700000\t29.97\t      30\t  7\t"
                    "     800\t       9\t       2\t      98\tHTTP\t0.00\tBuffering\n");
    EXPECT_EQ(fpsBox.texts, std::vector<std::string>{"29.97"});
}

TEST_F(SamplerTest, FailingReadWritesNoLineButKeepsTheBaseAndTheFpsText)
{
    values.m_playStartClock = 0;
    tickInPlaying(0.5, 25);
    tickInPlaying(1.0, 25); // estimate 25 frames at 1.0 s

    player.failingCall = "snapshot";
    values.m_restartClock = 1;
    clock.process = 1500;
    player.net.frameRate = 5000;
    EXPECT_THROW(sampler.OnTimer(), PlayerError);
    EXPECT_EQ(log.appends.size(), 2u);
    EXPECT_EQ(values.m_restartClock, 0);
    EXPECT_EQ(fpsBox.texts.back(), "25.00"); // the last tick's, as nothing was read
    EXPECT_EQ(player.liveObjects, 0);

    // The failed tick did not touch the estimate: from (1.0 s, 25 frames) at a constant 30 fps.
    player.failingCall.clear();
    EXPECT_EQ(field(tickInPlaying(2.0, 30), "IFramerate"), "35.00"); // (60 - 25) / (2.0 - 1.0)
    // And its base restart stands: Time counts from the failed tick's clock reading.
    EXPECT_EQ(field(log.appends.back(), "Time"), "0.5000");
}

TEST_F(SamplerTest, FailingSnapshotLeavesTheFpsBoxAloneAndWritesNoLine)
{
    player.failingCall = "snapshot";
    EXPECT_THROW(sampler.OnTimer(), PlayerError);
    EXPECT_TRUE(fpsBox.texts.empty());
    EXPECT_TRUE(log.appends.empty());
}

TEST_F(SamplerTest, ElapsedTimeIsRightAcrossAWrapOfTheProcessClock)
{
    clock.process = INT32_MAX - 200;
    tick();
    clock.process = INT32_MIN + 299; // 500 ms later
    EXPECT_EQ(field(tick(), "Time"), "0.5000");
}

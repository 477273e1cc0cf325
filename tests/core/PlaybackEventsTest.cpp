#include "ExitStatus.h"
#include "FakeClock.h"
#include "FakePlayer.h"
#include "MemoryLog.h"
#include "PlayState.h"
#include "PlaybackEvents.h"
#include "PlaybackHost.h"
#include "PlaybackValues.h"
#include "PlayerError.h"

#include <gtest/gtest.h>

#include <functional>

using namespace zephyrscope;
using namespace zephyrscope::testing;

namespace {

class FakeHost final : public PlaybackHost {
public:
    void stopSampleTimer() override { calls.push_back("stopSampleTimer"); }
    int runAutoShutdown() override
    {
        calls.push_back("runAutoShutdown");
        if (whileCountdownRuns)
            whileCountdownRuns();
        return countdownResult;
    }
    void quit(int exitStatus) override { calls.push_back("quit " + std::to_string(exitStatus)); }

    int countdownResult = 1;
    std::function<void()> whileCountdownRuns;
    std::vector<std::string> calls;
};

class PlaybackEventsTest : public ::testing::Test {
protected:
    FakeClock clock;
    FakePlayer player;
    MemoryLog log;
    FakeHost host;
    PlaybackValues values;
    PlaybackEvents events{clock, player, log, host, values};
};

} // namespace

TEST_F(PlaybackEventsTest, PlayingTakesTheClockAndNothingElse)
{
    clock.process = 4321;
    events.OnPlayStateChange(kPlayStatePlaying);
    EXPECT_EQ(values.m_playStartClock, 4321);
    EXPECT_EQ(values.m_restartClock, 0);
    EXPECT_EQ(values.m_clipEnded, 0);
    clock.process = 9999;
    events.OnPlayStateChange(kPlayStatePlaying); // every return to Playing counts as a new start
    EXPECT_EQ(values.m_playStartClock, 9999);
    EXPECT_TRUE(host.calls.empty());
}

TEST_F(PlaybackEventsTest, MediaEndedAsksForATimeRestartAndMarksTheClipEnded)
{
    events.OnPlayStateChange(kPlayStateMediaEnded);
    EXPECT_EQ(values.m_restartClock, 1);
    EXPECT_EQ(values.m_clipEnded, 1);
    values.m_restartClock = 0; // consumed by the sampler
    events.OnPlayStateChange(kPlayStateMediaEnded);
    EXPECT_EQ(values.m_restartClock, 1);
    EXPECT_EQ(values.m_clipEnded, 1);
    EXPECT_TRUE(host.calls.empty());
}

TEST_F(PlaybackEventsTest, ReadyBeforeAnyClipEndedDoesNothing)
{
    for (std::int32_t state : {kPlayStateTransitioning, kPlayStateReady, kPlayStateStopped, kPlayStateReady,
                               kPlayStateBuffering, kPlayStatePaused, kPlayStateReady})
        events.OnPlayStateChange(state);
    EXPECT_TRUE(host.calls.empty());
}

TEST_F(PlaybackEventsTest, ReadyAfterAClipEndedStopsSamplingAndQuitsWhenTheCountdownRunsOut)
{
    events.OnPlayStateChange(kPlayStateMediaEnded);
    events.OnPlayStateChange(kPlayStateReady);
    EXPECT_EQ(host.calls, (std::vector<std::string>{"stopSampleTimer", "runAutoShutdown", "quit 0"}));
}

TEST_F(PlaybackEventsTest, CancelledCountdownKeepsRunningAndEveryLaterReadyOffersItAgain)
{
    host.countdownResult = 2;
    events.OnPlayStateChange(kPlayStateMediaEnded);
    events.OnPlayStateChange(kPlayStateReady);
    EXPECT_EQ(host.calls, (std::vector<std::string>{"stopSampleTimer", "runAutoShutdown"}));

    events.OnPlayStateChange(kPlayStateTransitioning);
    events.OnPlayStateChange(kPlayStatePlaying);
    events.OnPlayStateChange(kPlayStateReady); // no new clip end needed
    EXPECT_EQ(host.calls.size(), 4u);
    EXPECT_EQ(host.calls.back(), "runAutoShutdown");
}

TEST_F(PlaybackEventsTest, ReadyDuringTheCountdownDoesNotStartASecondOne)
{
    events.OnPlayStateChange(kPlayStateMediaEnded);
    host.whileCountdownRuns = [this] {
        EXPECT_TRUE(events.countdownOpen());
        events.OnPlayStateChange(kPlayStateReady);
        events.OnPlayStateChange(kPlayStateMediaEnded);
        events.OnPlayStateChange(kPlayStateReady);
    };
    events.OnPlayStateChange(kPlayStateReady);
    EXPECT_EQ(host.calls, (std::vector<std::string>{"stopSampleTimer", "runAutoShutdown", "quit 0"}));
    EXPECT_FALSE(events.countdownOpen());
}

TEST_F(PlaybackEventsTest, ReadyAfterAFailureWithNothingPlayedEndsTheRunWithStatus3)
{
    events.OnPlayStateChange(kPlayStateTransitioning);
    events.OnMediaError("http://127.0.0.1:9/none.mp4", "Connection refused");
    events.OnPlayStateChange(kPlayStateReady);
    EXPECT_EQ(host.calls, (std::vector<std::string>{"stopSampleTimer", "runAutoShutdown", "quit 3"}));
}

TEST_F(PlaybackEventsTest, FailureCountdownIsOfferedOncePerFailure)
{
    host.countdownResult = 2;
    events.OnMediaError("x", "y");
    events.OnPlayStateChange(kPlayStateReady);
    events.OnPlayStateChange(kPlayStateReady);
    EXPECT_EQ(host.calls, (std::vector<std::string>{"stopSampleTimer", "runAutoShutdown"}));
}

TEST_F(PlaybackEventsTest, AFailedOpenByHandOffersNoCountdownButAnEndedClipStillDoes)
{
    events.setCountdownAfterFailure(false);
    events.OnMediaError("http://127.0.0.1:9/typo.mp4", "Connection refused");
    events.OnPlayStateChange(kPlayStateReady);
    EXPECT_TRUE(host.calls.empty());
    events.OnPlayStateChange(kPlayStateTransitioning);
    events.OnPlayStateChange(kPlayStatePlaying);
    events.OnPlayStateChange(kPlayStateMediaEnded);
    events.OnPlayStateChange(kPlayStateReady);
    EXPECT_EQ(host.calls, (std::vector<std::string>{"stopSampleTimer", "runAutoShutdown", "quit 4"}));
}

TEST_F(PlaybackEventsTest, AClipThatEndedAfterAFailedEntryEndsTheRunAsIncomplete)
{
    EXPECT_EQ(events.OnMediaError("bad.mp4", "not media"), "not media");
    events.OnPlayStateChange(kPlayStateTransitioning);
    events.OnPlayStateChange(kPlayStatePlaying);
    events.OnPlayStateChange(kPlayStateMediaEnded);
    events.OnPlayStateChange(kPlayStateReady);
    EXPECT_EQ(host.calls.back(), "quit 4");
}

TEST_F(PlaybackEventsTest, AStreamLostAfterItPlayedSaysForHowLongAndEndsTheRunAsIncomplete)
{
    // Two stretches in Playing, 8.2 s and 4.1 s, with a 3-s stall between them that is not play.
    events.OnPlayStateChange(kPlayStateTransitioning);
    clock.process = 1000;
    events.OnPlayStateChange(kPlayStatePlaying);
    clock.process = 9200;
    events.OnPlayStateChange(kPlayStateBuffering);
    clock.process = 12200;
    events.OnPlayStateChange(kPlayStatePlaying);
    clock.process = 16300;
    EXPECT_EQ(events.OnMediaError("http://127.0.0.1:8080/live.mkv", "Could not connect to server"),
              "connection lost after 12.3 s of play: Could not connect to server");
    events.OnPlayStateChange(kPlayStateReady);
    EXPECT_EQ(host.calls.back(), "quit 4");
    EXPECT_EQ(events.tally().entriesPlayed, 1);
    EXPECT_EQ(events.tally().entriesFailed, 1);

    // The next entry starts its own count; a local file that fails part-way is no lost connection.
    events.OnPlayStateChange(kPlayStateTransitioning);
    EXPECT_EQ(events.OnMediaError("rtsp://127.0.0.1/x", "refused"), "refused");
    events.OnPlayStateChange(kPlayStateTransitioning);
    clock.process = 20000;
    events.OnPlayStateChange(kPlayStatePlaying);
    clock.process = 20500;
    EXPECT_EQ(events.OnMediaError("file:///m/a.mkv", "decoding failed"), "failed after 0.5 s of play: decoding failed");
    // A scheme in capitals is the same scheme.
    events.OnPlayStateChange(kPlayStateTransitioning);
    events.OnPlayStateChange(kPlayStatePlaying);
    clock.process = 21000;
    EXPECT_EQ(events.OnMediaError("FILE:///m/b.mkv", "decoding failed"), "failed after 0.5 s of play: decoding failed");
}

TEST_F(PlaybackEventsTest, ALogThatMissedWritesEndsAnOtherwiseWholeRunAsIncomplete)
{
    events.OnPlayStateChange(kPlayStatePlaying);
    events.OnLogWriteFailed();
    events.OnPlayStateChange(kPlayStateMediaEnded);
    events.OnPlayStateChange(kPlayStateReady);
    EXPECT_EQ(host.calls.back(), "quit 4");
}

TEST(RunEndStatus, ZeroOnlyWhenEverythingPlayedThreeWhenNothingDidFourOtherwise)
{
    EXPECT_EQ(RunEndStatus({2, 0, false}), kExitNormal);
    EXPECT_EQ(RunEndStatus({0, 3, false}), kExitPlaybackFailure);
    EXPECT_EQ(RunEndStatus({0, 1, true}), kExitPlaybackFailure);
    EXPECT_EQ(RunEndStatus({1, 1, false}), kExitIncomplete);
    EXPECT_EQ(RunEndStatus({1, 0, true}), kExitIncomplete);
    EXPECT_EQ(RunEndStatus({}), kExitNormal);
}

TEST_F(PlaybackEventsTest, MediaOpenWritesOneMediaBlockPerReport)
{
    player.media = {"file:///c/a.mkv", "00:03", "a", 320, 240, 3.0};
    events.OnOpenStateChange(kOpenStateMediaOpen);
    player.media = {"file:///c/b.mkv", "00:04", "b", 640, 480, 4.0};
    events.OnOpenStateChange(kOpenStateMediaOpen);
    for (std::int32_t other : {0, 1, 6, 12, 14, 21})
        events.OnOpenStateChange(other);
    ASSERT_EQ(log.appends.size(), 2u);
    EXPECT_EQ(log.appends[0], "a\nfile:///c/a.mkv\nDuration: 00:03 (3.00 secs)\tResulation: 320*240\n");
    EXPECT_EQ(log.appends[1], "b\nfile:///c/b.mkv\nDuration: 00:04 (4.00 secs)\tResulation: 640*480\n");
    EXPECT_EQ(player.liveObjects, 0);
}

TEST_F(PlaybackEventsTest, FailingMediaReadWritesNoBlock)
{
    player.failingCall = "media.imageSourceHeight";
    EXPECT_THROW(events.OnOpenStateChange(kOpenStateMediaOpen), PlayerError);
    EXPECT_TRUE(log.appends.empty());
}

TEST_F(PlaybackEventsTest, AMonitoringRunOffersNoCountdownAfterAnEndOrAFailure)
{
    events.setMonitor(true);
    events.OnPlayStateChange(kPlayStatePlaying);
    events.OnPlayStateChange(kPlayStateMediaEnded);
    events.OnPlayStateChange(kPlayStateReady);
    events.OnMediaError("rtsp://127.0.0.1:1/clip", "Connection refused");
    events.OnPlayStateChange(kPlayStateReady);
    EXPECT_TRUE(host.calls.empty());
    EXPECT_FALSE(events.countdownOpen());
}

// The back-off before an entry is opened again, and the outages of a monitored
// channel, on a clock moved by hand.
#include "FakeClock.h"
#include "OutageTracker.h"
#include "ReconnectBackoff.h"

#include <gtest/gtest.h>

#include <vector>

using namespace zephyrscope;
using namespace zephyrscope::testing;

TEST(ReconnectBackoff, DoublesFromOneSecondToThirtyAndStaysThere)
{
    FakeClock clock;
    ReconnectBackoff backoff(clock);
    std::vector<std::int32_t> delays;
    for (int i = 0; i < 8; ++i) {
        delays.push_back(backoff.nextDelayMs());
        clock.advance(delays.back());
    }
    EXPECT_EQ(delays, (std::vector<std::int32_t> {1000, 2000, 4000, 8000, 16000, 30000, 30000, 30000}));
}

TEST(ReconnectBackoff, SixtySecondsOfPlayBringItBackToOneSecondAndLessDoesNot)
{
    FakeClock clock;
    ReconnectBackoff backoff(clock);
    backoff.nextDelayMs();
    backoff.nextDelayMs();
    backoff.playing();
    clock.advance(59999);
    EXPECT_EQ(backoff.nextDelayMs(), 4000) << "59.999 s of play is not a healthy stretch";
    backoff.playing();
    clock.advance(30000);
    backoff.playing(); // a stall and back: still the same stretch
    clock.advance(30000);
    EXPECT_EQ(backoff.nextDelayMs(), 1000);
    EXPECT_EQ(backoff.pendingDelayMs(), 2000);
}

TEST(ReconnectBackoff, OnlyPlayCountsNotTheTimeWaitedBetweenAttempts)
{
    FakeClock clock;
    ReconnectBackoff backoff(clock);
    backoff.playing();
    backoff.nextDelayMs();
    clock.advance(120000); // down for two minutes, never playing
    EXPECT_EQ(backoff.nextDelayMs(), 2000);
}

TEST(OutageTracker, NeitherUpNorDownBeforeTheFirstPlay)
{
    FakeClock clock;
    OutageTracker tracker(clock);
    EXPECT_FALSE(tracker.up());
    EXPECT_FALSE(tracker.inOutage());
    EXPECT_EQ(tracker.outages(), 0u);
    EXPECT_EQ(tracker.outageMs(), 0);
    EXPECT_FALSE(tracker.playing().has_value());
    EXPECT_TRUE(tracker.up());
}

TEST(OutageTracker, AnOutageRunsFromDownToPlayingAndKeepsItsFirstReason)
{
    FakeClock clock;
    clock.process = 5000;
    clock.wall = {1700000000, 250};
    OutageTracker tracker(clock);
    tracker.playing();
    const auto started = tracker.down("connection lost after 3.0 s of play: closed");
    ASSERT_TRUE(started.has_value());
    EXPECT_EQ(started->startedWallMs, 1700000000250);
    EXPECT_EQ(started->reason, "connection lost after 3.0 s of play: closed");
    EXPECT_FALSE(tracker.up());
    clock.advance(1000);
    // A reopened entry that fails again is the same outage.
    EXPECT_FALSE(tracker.down("Connection refused").has_value());
    clock.advance(2500);
    EXPECT_EQ(tracker.outageMs(), 3500) << "the open outage counts up to now";
    EXPECT_EQ(tracker.openOutage()->durationMs, 3500);
    clock.advance(1500);
    const auto ended = tracker.playing();
    ASSERT_TRUE(ended.has_value());
    EXPECT_EQ(ended->durationMs, 5000);
    EXPECT_EQ(ended->reason, "connection lost after 3.0 s of play: closed");
    EXPECT_TRUE(tracker.up());
    EXPECT_EQ(tracker.outages(), 1u);
    clock.advance(10000);
    EXPECT_EQ(tracker.outageMs(), 5000) << "time up is not outage time";
}

TEST(OutageTracker, OutagesAddUpAcrossAWrapOfTheProcessClock)
{
    FakeClock clock;
    clock.process = 0x7FFFFFFF - 1000;
    OutageTracker tracker(clock);
    tracker.down("ended");
    clock.advance(3000);
    EXPECT_EQ(tracker.playing()->durationMs, 3000);
    tracker.down("ended");
    clock.advance(2000);
    tracker.playing();
    EXPECT_EQ(tracker.outages(), 2u);
    EXPECT_EQ(tracker.outageMs(), 5000);
    EXPECT_FALSE(tracker.openOutage().has_value());
}

#include "PlayerTestEnvironment.h"

#include "CWMPMedia.h"
#include "PlayState.h"
#include "PlayerSnapshot.h"

#include <cmath>

using namespace zephyrscope;
using namespace zephyrscope::testing;
using namespace std::chrono_literals;

namespace {

class PlayerFile : public PlayerFixture {};

// Plays on for a while in steady state, then reads the frame rate.
std::int32_t steadyFrameRate(Player& player)
{
    RunMainLoopFor(1500ms);
    return player.network()->frameRate();
}

} // namespace

TEST_F(PlayerFile, ReportsNothingBeforeAnythingIsLoaded)
{
    EXPECT_EQ(player->playState(), 0);
    auto media = player->currentMedia();
    EXPECT_EQ(media->name(), "");
    EXPECT_EQ(media->sourceURL(), "");
    EXPECT_EQ(media->duration(), 0.0);
    EXPECT_EQ(media->durationString(), "00:00");
    EXPECT_EQ(media->imageSourceWidth(), 0);
    EXPECT_EQ(media->imageSourceHeight(), 0);
    auto net = player->network();
    EXPECT_EQ(net->frameRate(), 0);
    EXPECT_EQ(net->bitRate(), 0);
    EXPECT_EQ(net->receivedPackets(), 0);
    EXPECT_EQ(net->sourceProtocol(), "");
    EXPECT_EQ(net->bufferingTime(), 5000);
    EXPECT_TRUE(events.events.empty());
}

TEST_F(PlayerFile, ClipGoesThroughTransitioningOpenPlayingEndedReady)
{
    player->putURL(Clip25());
    EXPECT_TRUE(events.events.empty()) << "no event may arrive from inside the URL put";
    EXPECT_EQ(player->playState(), kPlayStateTransitioning);
    ASSERT_TRUE(waitForState(kPlayStateReady, 20s)) << events.sequence();
    EXPECT_EQ(events.sequence(), "9 open 3 8 10");
    EXPECT_EQ(events.count("open 13"), 1);
}

TEST_F(PlayerFile, MediaPropertiesOfAGeneratedClip)
{
    const std::string path = Clip25();
    player->putURL(path);
    ASSERT_TRUE(waitForEvent("open 13"));
    auto media = player->currentMedia();
    EXPECT_EQ(media->name(), "Zephyr Test Clip");
    EXPECT_EQ(media->sourceURL(), path);
    EXPECT_NEAR(media->duration(), 3.0, 0.05);
    EXPECT_EQ(media->durationString(), "00:03");
    EXPECT_EQ(media->imageSourceWidth(), 320);
    EXPECT_EQ(media->imageSourceHeight(), 240);
}

TEST_F(PlayerFile, NameFallsBackToTheFileNameWithoutExtension)
{
    player->putURL("file://" + Clip30());
    ASSERT_TRUE(waitForEvent("open 13"));
    EXPECT_EQ(player->currentMedia()->name(), "clip30");
}

TEST_F(PlayerFile, AudioOnlyClipHasNoPictureSize)
{
    player->putURL(AudioOnly());
    ASSERT_TRUE(waitForEvent("open 13"));
    EXPECT_EQ(player->currentMedia()->imageSourceWidth(), 0);
    EXPECT_EQ(player->currentMedia()->imageSourceHeight(), 0);
    EXPECT_NEAR(player->currentMedia()->duration(), 3.0, 0.05);
    ASSERT_TRUE(waitForState(kPlayStateReady));
    EXPECT_EQ(events.sequence(), "9 open 3 8 10");
}

TEST_F(PlayerFile, FrameRateFollowsRenderedFramesAt25)
{
    player->putURL(ClipWithAudio());
    ASSERT_TRUE(waitForState(kPlayStatePlaying));
    const std::int32_t rate = steadyFrameRate(*player);
    EXPECT_NEAR(rate, 2500, 50);
    EXPECT_EQ(player->network()->encodedFrameRate(), 25);
    EXPECT_EQ(player->playState(), kPlayStatePlaying);
}

TEST_F(PlayerFile, FrameRateFollowsRenderedFramesAt30)
{
    player->putURL(Clip30());
    ASSERT_TRUE(waitForState(kPlayStatePlaying));
    const std::int32_t rate = steadyFrameRate(*player);
    EXPECT_NEAR(rate, 3000, 60);
    EXPECT_EQ(player->network()->encodedFrameRate(), 30);
}

// Played for the transport alone, each clip's access units on its own clock:
// exactly its frame rate, none missing, the rate its headers declare, and the
// size its headers declare as the media's image size.
TEST_F(PlayerFile, TransportOnlyFrameRateIsTheClipsOwnOnItsTimestamps)
{
    for (const auto& [clip, fps] : {std::pair {ClipWithAudio(), 25}, std::pair {Clip30(), 30}}) {
        SCOPED_TRACE(clip);
        player->setTransportOnly(true);
        player->putURL(clip);
        ASSERT_TRUE(waitForState(kPlayStatePlaying));
        const std::int32_t rate = steadyFrameRate(*player);
        EXPECT_NEAR(rate, fps * 100, 1);
        EXPECT_EQ(player->network()->encodedFrameRate(), fps);
        EXPECT_EQ(player->network()->framesSkipped(), 0);
        EXPECT_TRUE(SnapshotOf(*player).transportOnly);
        EXPECT_GT(player->currentMedia()->imageSourceWidth(), 0);
        player->controls()->stop();
        ASSERT_TRUE(waitForState(kPlayStateStopped, 5s));
    }
}

TEST_F(PlayerFile, FileStatisticsWhilePlaying)
{
    const auto putAt = std::chrono::steady_clock::now();
    player->putURL(Clip25());
    ASSERT_TRUE(waitForState(kPlayStatePlaying));
    RunMainLoopFor(500ms);
    const auto sinceOpen = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - putAt);
    auto net = player->network();
    // Start-up: within what the test itself saw from the put to now.
    const std::int32_t startupMs = SnapshotOf(*player).startupMs;
    EXPECT_GT(startupMs, 0);
    EXPECT_LE(startupMs, sinceOpen.count());
    EXPECT_EQ(net->sourceProtocol(), "File");
    EXPECT_EQ(net->receivedPackets(), 0);
    EXPECT_EQ(net->lostPackets(), 0);
    EXPECT_EQ(net->recoveredPackets(), 0);
    EXPECT_EQ(net->receptionQuality(), 100);
    EXPECT_EQ(net->bufferingTime(), 5000);
    EXPECT_EQ(net->maxBandwidth(), 0);
    EXPECT_GT(net->bandWidth(), 0);
    EXPECT_GE(net->framesSkipped(), 0);
}

TEST_F(PlayerFile, StopThenPlayRestartsTheClip)
{
    player->putURL(Clip25());
    ASSERT_TRUE(waitForState(kPlayStatePlaying));
    RunMainLoopFor(500ms);
    player->controls()->stop();
    ASSERT_TRUE(waitForState(kPlayStateStopped, 5s));
    EXPECT_EQ(player->network()->frameRate(), 0);
    player->controls()->play();
    ASSERT_TRUE(waitForEvent("play 3", 2));
    ASSERT_TRUE(waitForState(kPlayStateReady, 20s));
    EXPECT_EQ(events.sequence(), "9 open 3 1 9 3 8 10");
}

TEST_F(PlayerFile, StopBeforeTheClipOpenedThenPlayOpensIt)
{
    player->putURL(Clip25());
    player->controls()->stop();
    EXPECT_TRUE(events.events.empty()) << "no event may arrive from inside a call";
    ASSERT_TRUE(waitForState(kPlayStateStopped, 5s));
    EXPECT_EQ(events.count("open 13"), 0);
    player->controls()->play();
    ASSERT_TRUE(waitForState(kPlayStateReady, 20s));
    EXPECT_EQ(events.sequence(), "9 1 9 open 3 8 10");
}

TEST_F(PlayerFile, PlayWhenReadyStartsTheListAgain)
{
    player->putURL(Clip25());
    ASSERT_TRUE(waitForState(kPlayStateReady, 20s));
    player->controls()->play();
    ASSERT_TRUE(waitForEvent("play 10", 2, 20s));
    EXPECT_EQ(events.sequence(), "9 open 3 8 10 9 open 3 8 10");
}

TEST(CWMPMediaFormat, DurationStringIsMinutesSecondsOrHoursMinutesSeconds)
{
    EXPECT_EQ(CWMPMedia::formatDuration(0.0), "00:00");
    EXPECT_EQ(CWMPMedia::formatDuration(3.0), "00:03");
    EXPECT_EQ(CWMPMedia::formatDuration(59.6), "01:00");
    EXPECT_EQ(CWMPMedia::formatDuration(3599.4), "59:59");
    EXPECT_EQ(CWMPMedia::formatDuration(3600.0), "01:00:00");
    EXPECT_EQ(CWMPMedia::formatDuration(36000.0 + 62.0), "10:01:02");
}

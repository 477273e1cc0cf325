#include "FakePlayer.h"
#include "MediaBlock.h"
#include "PlayerError.h"

#include <gtest/gtest.h>

using namespace zephyrscope;
using namespace zephyrscope::testing;

TEST(MediaBlock, IsNameUrlThenDurationAndSizeSeparatedByATab)
{
    MediaBlock block;
    block.name = "clip25";
    block.sourceURL = "file:///tmp/clip25.mkv";
    block.durationString = "00:03";
    block.duration = 3.0;
    block.imageSourceWidth = 320;
    block.imageSourceHeight = 240;
    EXPECT_EQ(FormatMediaBlock(block),
              "clip25\nfile:///tmp/clip25.mkv\nDuration: 00:03 (3.00 secs)\tResulation: 320*240\n");
}

TEST(MediaBlock, WritesLiveAndAudioOnlyClipsAndPlayerTextsAsTheyAre)
{
    MediaBlock block;
    block.name = "100% live\tfeed";
    block.sourceURL = "rtsp://127.0.0.1/%s";
    block.durationString = "00:00";
    EXPECT_EQ(FormatMediaBlock(block),
              "100% live\tfeed\nrtsp://127.0.0.1/%s\nDuration: 00:00 (0.00 secs)\tResulation: 0*0\n");
    block.duration = 4000.126;
    block.durationString = "01:06:40";
    EXPECT_NE(FormatMediaBlock(block).find("Duration: 01:06:40 (4000.13 secs)\t"), std::string::npos);
}

TEST(MediaBlock, ReadsEachPropertyThroughACurrentMediaObjectOfItsOwn)
{
    FakePlayer player;
    player.media = {"file:///m/a.webm", "00:10", "a", 640, 360, 10.04};
    const MediaBlock block = ReadMediaBlock(player);
    EXPECT_EQ(block.name, "a");
    EXPECT_EQ(block.sourceURL, "file:///m/a.webm");
    EXPECT_EQ(block.durationString, "00:10");
    EXPECT_DOUBLE_EQ(block.duration, 10.04);
    EXPECT_EQ(block.imageSourceWidth, 640);
    EXPECT_EQ(block.imageSourceHeight, 360);

    std::vector<std::string> expected;
    for (const char* p : {"name", "sourceURL", "durationString", "duration", "imageSourceWidth", "imageSourceHeight"}) {
        expected.push_back("currentMedia");
        expected.push_back(std::string("media.") + p);
        expected.push_back("release media");
    }
    EXPECT_EQ(player.journal, expected);
}

TEST(MediaBlock, AFailingReadReleasesWhatItHeld)
{
    FakePlayer player;
    player.failingCall = "media.duration";
    EXPECT_THROW(ReadMediaBlock(player), PlayerError);
    EXPECT_EQ(player.liveObjects, 0);
}

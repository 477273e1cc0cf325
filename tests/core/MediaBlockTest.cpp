#include "FakePlayer.h"
#include "MediaBlock.h"
#include "PlayerError.h"

#include <gtest/gtest.h>

#include <algorithm>

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

TEST(MediaBlock, ControlCharactersInNameAndUrlNeverBreakTheThreeLines)
{
    // A whole fake sample line behind a line feed, as a hostile URL or title carries it.
    const std::string fakeSample = "1765000000.0\t0.0\t100\t0\t0\t20000000";
    MediaBlock block;
    block.name = "nl\nname\r\x01\x7f\tend";
    block.sourceURL = "http://127.0.0.1/a%0A?x=\r\n" + fakeSample + "\x1b";
    block.durationString = "00:\n03";
    const std::string text = FormatMediaBlock(block);
    EXPECT_EQ(text, "nl\u240Aname\u240D\u2401\u2421\tend\n"
                    "http://127.0.0.1/a%0A?x=%0D%0A" + fakeSample + "%1B\n"
                    "Duration: 00:\u240A03 (0.00 secs)\tResulation: 0*0\n");
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 3);
    EXPECT_EQ(LogSafeName("Zéphyr 東京\t"), "Zéphyr 東京\t");
    std::string allControls;
    for (int c = 0; c < 0x20; ++c)
        allControls += static_cast<char>(c);
    allControls += '\x7f';
    EXPECT_EQ(LogSafeUrl(allControls),
              "%00%01%02%03%04%05%06%07%08\t%0A%0B%0C%0D%0E%0F%10%11%12%13%14%15%16%17%18%19%1A%1B%1C%1D%1E%1F%7F");
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

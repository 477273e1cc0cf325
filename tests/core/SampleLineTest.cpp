#include "PlayState.h"
#include "SampleLine.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <string>

using namespace zephyrscope;

namespace {

SampleLine typicalSample()
{
    SampleLine s;
    s.utcTime = {1765080000, 123};
    s.elapsed = 12.5;
    s.bufferingProgress = 100;
    s.bufferingCount = 1;
    s.bufferingTime = 5000;
    s.bitRate = 298000;
    s.bandWidth = 300000;
    s.maxBandwidth = 0;
    s.fps = 25.0;
    s.encodedFrameRate = 25;
    s.framesSkipped = 0;
    s.receivedPackets = 1234;
    s.lostPackets = 5;
    s.recoveredPackets = 0;
    s.receptionQuality = 99;
    s.protocol = "RTSPU";
    s.iFramerate = 25.0;
    s.stateName = "Playing";
    return s;
}

std::string format(const SampleLine& s)
{
    std::string out;
    FormatSampleLine(s, out);
    return out;
}

} // namespace

TEST(LogHeader, IsTheEighteenColumnNamesIn181Bytes)
{
    const std::string header = kLogHeader;
    EXPECT_EQ(header.size(), 181u);
    EXPECT_EQ(std::count(header.begin(), header.end(), '\t'), 17);
    EXPECT_EQ(header.back(), '\n');
    EXPECT_EQ(header.rfind("UTCTime\tTime\tBuf_Progress\t", 0), 0u);
    EXPECT_NE(header.find("\tRncode_Fr\t"), std::string::npos);
    EXPECT_NE(header.find("\tIFramerate\tPlayerState\n"), std::string::npos);
}

TEST(SampleLine, FormatsEveryFieldInItsWidth)
{
    EXPECT_EQ(format(typicalSample()),
              "1765080000.123\t12.5000\t100\t 1\t 5000\t  298000\t  300000\t       0\t25.00\t      25\t  0\t"
              "    1234\t       5\t       0\t      99\tRTSPU\t25.00\tPlaying\n");
}

TEST(SampleLine, PrintsMillisecondsWithoutLeadingZeros)
{
    SampleLine s = typicalSample();
    s.utcTime = {1765080000, 5};
    EXPECT_EQ(format(s).substr(0, 13), "1765080000.5\t");
    s.utcTime.milliseconds = 50;
    EXPECT_EQ(format(s).substr(0, 14), "1765080000.50\t");
    s.utcTime.milliseconds = 500;
    EXPECT_EQ(format(s).substr(0, 15), "1765080000.500\t");
    s.utcTime.milliseconds = 0;
    EXPECT_EQ(format(s).substr(0, 13), "1765080000.0\t");
}

TEST(SampleLine, PrintsWideValuesInFull)
{
    SampleLine s = typicalSample();
    s.elapsed = 123456.78901;
    s.bufferingCount = 123;
    s.bitRate = INT_MAX;
    s.lostPackets = INT_MIN;
    s.fps = 1234.5;
    s.iFramerate = -3.25;
    const std::string line = format(s);
    EXPECT_NE(line.find("\t123456.7890\t"), std::string::npos);
    EXPECT_NE(line.find("\t123\t"), std::string::npos);
    EXPECT_NE(line.find("\t2147483647\t"), std::string::npos);
    EXPECT_NE(line.find("\t-2147483648\t"), std::string::npos);
    EXPECT_NE(line.find("\t1234.50\t"), std::string::npos);
    EXPECT_NE(line.find("\t-3.25\t"), std::string::npos);
}

TEST(SampleLine, EmptyProtocolLeavesTwoTabsInARow)
{
    SampleLine s = typicalSample();
    s.protocol.clear();
    EXPECT_NE(format(s).find("      99\t\t25.00\tPlaying\n"), std::string::npos);
}

TEST(SampleLine, LongTextsAreNeverCut)
{
    SampleLine s = typicalSample();
    s.protocol = std::string(1000, 'P');
    const std::string line = format(s);
    EXPECT_NE(line.find("\t" + s.protocol + "\t25.00\tPlaying\n"), std::string::npos);
    EXPECT_EQ(std::count(line.begin(), line.end(), '\t'), 17);
}

TEST(SampleLine, FpsTextMatchesTheFrameRateColumn)
{
    EXPECT_EQ(FormatFps(0.0), "0.00");
    EXPECT_EQ(FormatFps(29.97), "29.97");
    EXPECT_EQ(FormatFps(2997 * 0.01), "29.97");
    EXPECT_EQ(FormatFps(1e6), "1000000.00");
}

TEST(PlayStateName, NamesEveryStateAndAnUnknownOne)
{
    const char* expected[] = {"Undefined",  "Stopped", "Paused",        "Playing", "ScanForward", "ScanReverse",
                              "Buffering",  "Waiting", "MediaEnded",    "Transitioning", "Ready", "Reconnecting"};
    for (int state = 0; state < 12; ++state)
        EXPECT_STREQ(PlayStateName(state), expected[state]) << state;
    EXPECT_STREQ(PlayStateName(12), "Unknown");
    EXPECT_STREQ(PlayStateName(-1), "Unknown");
    EXPECT_STREQ(PlayStateName(INT_MAX), "Unknown");
}

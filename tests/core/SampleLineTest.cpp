#include "PlayState.h"
#include "Protocol.h"
#include "SampleLine.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cfloat>
#include <climits>
#include <cmath>
#include <cstdio>
#include <limits>
#include <random>
#include <string>

using namespace zephyrscope;

namespace {

SampleLine typicalSample()
{
    SampleLine s;
    s.utcTime = {1765080000, 123};
    s.elapsed = 12.5;
    s.network.bufferingProgress = 100;
    s.network.bufferingCount = 1;
    s.network.bufferingTime = 5000;
    s.network.bitRate = 298000;
    s.network.bandWidth = 300000;
    s.network.maxBandwidth = 0;
    s.fps = 25.0;
    s.network.encodedFrameRate = 25;
    s.network.framesSkipped = 0;
    s.network.receivedPackets = 1234;
    s.network.lostPackets = 5;
    s.network.recoveredPackets = 0;
    s.network.receptionQuality = 99;
    s.network.protocol = protocolNamed("RTSPU");
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
    s.network.bufferingCount = 123;
    s.network.bitRate = INT_MAX;
    s.network.lostPackets = INT_MIN;
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
    s.network.protocol = nullptr;
    EXPECT_NE(format(s).find("      99\t\t25.00\tPlaying\n"), std::string::npos);
}

TEST(SampleLine, LongTextsAreNeverCut)
{
    SampleLine s = typicalSample();
    s.network.protocol = protocolNamed(std::string(1000, 'P'));
    const std::string line = format(s);
    EXPECT_NE(line.find("\t" + std::string(columnOf(s.network.protocol)) + "\t25.00\tPlaying\n"), std::string::npos);
    EXPECT_EQ(std::count(line.begin(), line.end(), '\t'), 17);
}

TEST(SampleLine, FpsTextMatchesTheFrameRateColumn)
{
    EXPECT_EQ(FormatFps(0.0), "0.00");
    EXPECT_EQ(FormatFps(29.97), "29.97");
    EXPECT_EQ(FormatFps(2997 * 0.01), "29.97");
    EXPECT_EQ(FormatFps(1e6), "1000000.00");
}

// The line's text is defined by this printf format; the formatter must give the
// same bytes for every value, rounding, sign and non-finite case included.
std::string printfReference(const SampleLine& s)
{
    char buffer[2048];
    std::snprintf(buffer, sizeof buffer,
                  "%lld.%d\t%4.4f\t%3d\t%2d\t%5d\t%8d\t%8d\t%8d\t%2.2f\t%8d\t%3d\t%8d\t%8d\t%8d\t%8d\t%s\t%2.2f\t%s\n",
                  static_cast<long long>(s.utcTime.seconds), s.utcTime.milliseconds, s.elapsed, s.network.bufferingProgress,
                  s.network.bufferingCount, s.network.bufferingTime, s.network.bitRate, s.network.bandWidth, s.network.maxBandwidth, s.fps,
                  s.network.encodedFrameRate, s.network.framesSkipped, s.network.receivedPackets, s.network.lostPackets, s.network.recoveredPackets,
                  s.network.receptionQuality, std::string(columnOf(s.network.protocol)).c_str(), s.iFramerate, s.stateName);
    return buffer;
}

TEST(SampleLine, MatchesPrintfOnEdgeAndRandomValues)
{
    const double doubles[] = {0.0, -0.0, 0.005, 0.015, 0.125, 2.675, 1.005, 0.00005, 0.00015, 9.995, 99.995,
                              -0.004, -0.005, -9.999, 1e-310, 5e-324, 1e15 + 0.5, 1e300, DBL_MAX, -DBL_MAX,
                              std::numeric_limits<double>::infinity(), -std::numeric_limits<double>::infinity(),
                              std::numeric_limits<double>::quiet_NaN(), -std::numeric_limits<double>::quiet_NaN()};
    const std::int32_t ints[] = {0, 1, -1, 9, 10, 99, 100, 999, 1000, 99999, 100000, 9999999, 10000000,
                                 99999999, 100000000, INT_MAX, INT_MIN};
    SampleLine s = typicalSample();
    for (double d : doubles) {
        s.elapsed = d;
        s.fps = d;
        s.iFramerate = -d;
        EXPECT_EQ(format(s), printfReference(s)) << d;
        char fps[400];
        std::snprintf(fps, sizeof fps, "%2.2f", d);
        EXPECT_EQ(FormatFps(d), fps);
    }
    for (std::int32_t i : ints) {
        s.utcTime = {static_cast<std::int64_t>(i) * 3, i};
        s.network.bufferingProgress = s.network.bufferingCount = s.network.bufferingTime = s.network.bitRate = s.network.bandWidth = i;
        s.network.maxBandwidth = s.network.encodedFrameRate = s.network.framesSkipped = s.network.receivedPackets = i;
        s.network.lostPackets = s.network.recoveredPackets = s.network.receptionQuality = i;
        EXPECT_EQ(format(s), printfReference(s)) << i;
    }

    std::mt19937_64 random(20261207);
    std::uniform_int_distribution<std::int32_t> anyInt(INT_MIN, INT_MAX);
    std::uniform_int_distribution<int> smallInt(-200, 200000);
    std::uniform_real_distribution<double> seconds(0.0, 100000.0);
    std::uniform_real_distribution<double> rate(0.0, 200.0);
    const char* states[] = {"Playing", "Buffering", "Unknown", ""};
    for (int n = 0; n < 20000; ++n) {
        s.utcTime = {static_cast<std::int64_t>(anyInt(random)) * 4, smallInt(random) % 1000};
        s.elapsed = seconds(random);
        s.network.bufferingProgress = smallInt(random);
        s.network.bufferingCount = smallInt(random);
        s.network.bufferingTime = anyInt(random);
        s.network.bitRate = anyInt(random);
        s.network.bandWidth = smallInt(random);
        s.network.maxBandwidth = anyInt(random);
        // Hundredths, as the frame rate is measured, and values on a rounding edge.
        s.fps = (n % 2 ? smallInt(random) * 0.01 : rate(random));
        s.network.encodedFrameRate = smallInt(random);
        s.network.framesSkipped = smallInt(random);
        s.network.receivedPackets = anyInt(random);
        s.network.lostPackets = smallInt(random);
        s.network.recoveredPackets = smallInt(random);
        s.network.receptionQuality = smallInt(random) % 101;
        s.network.protocol = protocolNamed(std::string(static_cast<std::size_t>(n % 7), 'U'));
        s.iFramerate = (n % 3 ? rate(random) : smallInt(random) * 0.005);
        s.stateName = states[n % 4];
        ASSERT_EQ(format(s), printfReference(s)) << n;
    }
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

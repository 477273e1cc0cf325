#include "LogBuilder.h"
#include "LogReader.h"
#include "Protocol.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>

using namespace zephyrscope;
using namespace zephyrscope::report;
using zephyrscope::testing::LogBuilder;

TEST(LogReader, ReadsWhatTheProgramWrites)
{
    LogBuilder b;
    b.next.network.bitRate = 512000;
    b.next.network.protocol = protocolNamed("RTSPU");
    b.next.fps = 29.97;
    b.next.network.receivedPackets = 1234;
    b.samples(2, kPlayStateTransitioning).media("clip", "rtsp://127.0.0.1:8554/clip", 3.0, 320, 240);
    b.samples(3, kPlayStatePlaying, [](SampleLine& s, int i) { s.network.lostPackets = i; });
    const StatisticsLog log = LogReader::fromText(b.text());
    EXPECT_TRUE(log.headerValid);
    EXPECT_TRUE(log.problems.empty());
    ASSERT_EQ(log.samples.size(), 5u);
    ASSERT_EQ(log.media.size(), 1u);
    EXPECT_EQ(log.media[0].name, "clip");
    EXPECT_EQ(log.media[0].url, "rtsp://127.0.0.1:8554/clip");
    EXPECT_EQ(log.media[0].durationString, "00:03");
    EXPECT_DOUBLE_EQ(log.media[0].duration, 3.0);
    EXPECT_EQ(log.media[0].width, 320);
    EXPECT_EQ(log.media[0].height, 240);
    EXPECT_EQ(log.media[0].line, 4);
    EXPECT_EQ(log.media[0].firstSampleAfter, 2u);
    const LogSample& s = log.samples[4];
    EXPECT_EQ(s.line, 9);
    EXPECT_EQ(s.network.bitRate, 512000);
    EXPECT_EQ(columnOf(s.network.protocol), "RTSPU");
    EXPECT_DOUBLE_EQ(s.fps, 29.97);
    EXPECT_EQ(s.network.receivedPackets, 1234);
    EXPECT_EQ(s.network.lostPackets, 2);
    EXPECT_STREQ(s.stateName, "Playing");
    EXPECT_EQ(s.network.playState, kPlayStatePlaying);
}

TEST(LogReader, MillisecondsWithoutLeadingZerosAreMilliseconds)
{
    const auto tail = "\t0.0000\t  0\t 0\t    0\t       0\t       0\t       0\t0.00\t       0\t  0\t       0\t"
                      "       0\t       0\t       0\t\t0.00\tReady";
    auto five = LogReader::parseSample(std::string("1765080000.5") + tail);
    auto fifty = LogReader::parseSample(std::string("1765080000.50") + tail);
    auto fiveHundred = LogReader::parseSample(std::string("1765080000.500") + tail);
    ASSERT_TRUE(five && fifty && fiveHundred);
    EXPECT_EQ(five->utcTime.milliseconds, 5);
    EXPECT_EQ(fifty->utcTime.milliseconds, 50);
    EXPECT_EQ(fiveHundred->utcTime.milliseconds, 500);
    EXPECT_NEAR(fiveHundred->utc() - five->utc(), 0.495, 1e-6);
    EXPECT_EQ(five->network.protocol, nullptr);
    EXPECT_FALSE(LogReader::parseSample(std::string("1765080000.1000") + tail));
    EXPECT_FALSE(LogReader::parseSample(std::string("1765080000") + tail));
}

TEST(LogReader, HeaderOnlyLogHasNothingElse)
{
    const StatisticsLog log = LogReader::fromText(LogBuilder().text());
    EXPECT_TRUE(log.headerValid);
    EXPECT_TRUE(log.samples.empty());
    EXPECT_TRUE(log.media.empty());
    EXPECT_TRUE(log.problems.empty());
}

TEST(LogReader, ReportsMalformedLinesByNumberAndSkipsThem)
{
    LogBuilder b;
    b.samples(1, kPlayStatePlaying);
    b.raw("hello world\n");                           // line 3
    b.samples(1, kPlayStatePlaying, [](SampleLine& s, int) { s.stateName = "Dancing"; }); // line 4
    b.raw("1\t2\t3\n");                               // line 5
    b.samples(1, kPlayStatePlaying, [](SampleLine& s, int) { s.network.protocol = protocolNamed("A\tB"); }); // line 6: 19 fields
    b.samples(1, kPlayStateReady);                   // line 7
    const StatisticsLog log = LogReader::fromText(b.text());
    ASSERT_EQ(log.samples.size(), 2u);
    EXPECT_EQ(log.samples[0].line, 2);
    EXPECT_EQ(log.samples[1].line, 7);
    ASSERT_EQ(log.problems.size(), 4u);
    EXPECT_EQ(log.problems[0].line, 3);
    EXPECT_EQ(log.problems[0].message, "neither a sample line nor part of a media block");
    EXPECT_EQ(log.problems[1].line, 4);
    EXPECT_EQ(log.problems[1].message, "not a sample line: field PlayerState is not a player state: 'Dancing'");
    EXPECT_EQ(log.problems[2].line, 5);
    EXPECT_EQ(log.problems[2].message, "not a sample line: has 3 fields, 18 expected");
    EXPECT_EQ(log.problems[3].line, 6);
    EXPECT_EQ(log.problems[3].message, "not a sample line: has 19 fields, 18 expected");
}

TEST(LogReader, ATruncatedLastLineIsReportedNotGuessed)
{
    LogBuilder b;
    b.samples(3, kPlayStatePlaying);
    std::string text = b.text();
    text.resize(text.size() - 1); // the line is whole but its line feed is missing
    StatisticsLog log = LogReader::fromText(text);
    EXPECT_EQ(log.samples.size(), 2u);
    ASSERT_EQ(log.problems.size(), 1u);
    EXPECT_EQ(log.problems[0].line, 4);

    text.resize(text.size() - 40);
    log = LogReader::fromText(text);
    EXPECT_EQ(log.samples.size(), 2u);
    ASSERT_EQ(log.problems.size(), 1u);
    EXPECT_EQ(log.problems[0].message, "incomplete last line (no line feed): the log was cut off");

    // A media block cut after its name and URL is not a block.
    log = LogReader::fromText(LogBuilder().raw("name\nurl\nDuration: 00:03 (3.00 se").text());
    EXPECT_TRUE(log.media.empty());
    EXPECT_EQ(log.problems.size(), 3u);
}

TEST(LogReader, MissingOrForeignHeaderIsReported)
{
    StatisticsLog log = LogReader::fromText("");
    EXPECT_FALSE(log.headerValid);
    ASSERT_EQ(log.problems.size(), 1u);

    log = LogReader::fromText("UTCTime\tTime\n");
    EXPECT_FALSE(log.headerValid);
    EXPECT_EQ(log.problems.size(), 1u);

    // Samples without a header are still read.
    LogBuilder b;
    b.samples(2, kPlayStatePlaying);
    const std::string body = b.text().substr(std::string(kLogHeader).size());
    log = LogReader::fromText(body);
    EXPECT_FALSE(log.headerValid);
    EXPECT_EQ(log.samples.size(), 2u);
    EXPECT_EQ(log.problems.size(), 1u);
}

TEST(LogReader, MediaBlockTextsMayHoldTabsAndPercentSigns)
{
    LogBuilder b;
    b.media("100%\tlive", "http://127.0.0.1/a b.mp4", 0.0, 0, 0);
    const StatisticsLog log = LogReader::fromText(b.text());
    ASSERT_EQ(log.media.size(), 1u);
    EXPECT_EQ(log.media[0].name, "100%\tlive");
    EXPECT_EQ(log.media[0].url, "http://127.0.0.1/a b.mp4");
    EXPECT_TRUE(log.problems.empty());
}

TEST(LogReader, UnreadableFileIsAClearError)
{
    try {
        LogReader::fromFile("/nonexistent/run.dat");
        FAIL();
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "Cannot open log file '/nonexistent/run.dat': No such file or directory");
    }
}

TEST(LogReader, ALineWithoutEndStopsTheReadingAndForeignTextIsNoLog)
{
    LogBuilder b;
    b.samples(1, kPlayStatePlaying);
    const std::string path = ::testing::TempDir() + "endless-line.dat";
    {
        std::ofstream out(path, std::ios::binary);
        out << b.text() << std::string(3 * 1024 * 1024, 'x') << "\n" << b.samples(1, kPlayStatePlaying).text();
    }
    const StatisticsLog log = LogReader::fromFile(path);
    std::remove(path.c_str());
    EXPECT_EQ(log.samples.size(), 1u);
    ASSERT_EQ(log.problems.size(), 1u);
    EXPECT_EQ(log.problems[0].line, 3);
    EXPECT_EQ(log.problems[0].message, "longer than 1024 KiB: not a log line, the rest of the file was not read");
    EXPECT_TRUE(LogReader::isLog(log));

    EXPECT_FALSE(LogReader::isLog(LogReader::fromText("")));
    EXPECT_FALSE(LogReader::isLog(LogReader::fromText("\x7f" "ELF\x02\x01\n\tfoo\nbar\n")));
    EXPECT_TRUE(LogReader::isLog(LogReader::fromText(LogBuilder().text())));
}

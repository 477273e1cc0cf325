#include "LogBuilder.h"
#include "LogReader.h"
#include "Protocol.h"
#include "RunSummary.h"

#include <gtest/gtest.h>

using namespace zephyrscope;
using namespace zephyrscope::report;
using zephyrscope::testing::LogBuilder;

namespace {

RunSummary summarize(const LogBuilder& b)
{
    return Summarize(LogReader::fromText(b.text()));
}

} // namespace

TEST(RunSummary, FiguresOfAClipWithOneStall)
{
    LogBuilder b;
    b.next.network.protocol = protocolNamed("RTSPU");
    b.next.network.encodedFrameRate = 25;
    b.samples(3, kPlayStateTransitioning);                      // 1.5 s of start-up
    b.media("clip", "rtsp://127.0.0.1/clip", 10.0, 320, 240);
    b.samples(4, kPlayStatePlaying, [](SampleLine& s, int i) {   // 2.0 s
        s.network.bitRate = 400000 + 100000 * i;                         // 400, 500, 600, 700 kbit/s
        s.fps = 25.0;
        s.network.receptionQuality = 100;
        s.network.receivedPackets = 100 * (i + 1);
    });
    b.samples(3, kPlayStateBuffering, [](SampleLine& s, int) {    // one stall of 1.5 s
        s.network.bitRate = 1;
        s.network.receivedPackets = 400;
        s.network.lostPackets = 4;
    });
    b.samples(4, kPlayStatePlaying, [](SampleLine& s, int) {     // 2.0 s
        s.network.bitRate = 300000;
        s.fps = 20.0;
        s.network.receptionQuality = 90;
        s.network.receivedPackets = 796;
        s.network.lostPackets = 4;
        s.network.framesSkipped = 6;
    });
    b.samples(1, kPlayStateMediaEnded);
    b.samples(1, kPlayStateReady);

    const RunSummary summary = summarize(b);
    ASSERT_EQ(summary.clips.size(), 1u);
    for (const Figures& f : {summary.run, summary.clips[0].figures}) {
        EXPECT_EQ(f.samples, 16u);
        EXPECT_EQ(f.playingSamples, 8u);
        ASSERT_TRUE(f.startupSeconds);
        EXPECT_DOUBLE_EQ(*f.startupSeconds, 1.5);
        EXPECT_NEAR(f.playingSeconds, 4.0, 1e-9);
        EXPECT_EQ(f.stalls, 1);
        EXPECT_NEAR(f.stallSeconds, 1.5, 1e-9);
        EXPECT_NEAR(f.rebufferRatio, 1.5 / 5.5, 1e-9);
        EXPECT_DOUBLE_EQ(*f.bitRateMean, (400000 + 500000 + 600000 + 700000 + 4 * 300000) / 8.0);
        EXPECT_DOUBLE_EQ(*f.bitRateMin, 300000);
        EXPECT_DOUBLE_EQ(*f.bitRateMax, 700000);
        EXPECT_DOUBLE_EQ(*f.frameRateMean, 22.5);
        EXPECT_EQ(f.encodedFrameRate, 25);
        EXPECT_EQ(f.framesSkipped, 6);
        EXPECT_EQ(f.receivedPackets, 796);
        EXPECT_EQ(f.lostPackets, 4);
        EXPECT_DOUBLE_EQ(*f.packetLossPercent, 0.5);
        EXPECT_DOUBLE_EQ(*f.qualityMean, 95.0);
        EXPECT_EQ(f.protocol, "RTSPU");
        ASSERT_EQ(f.stallPeriods.size(), 1u);
        EXPECT_NEAR(f.stallPeriods[0].end - f.stallPeriods[0].begin, 1.5, 1e-9);
    }
}

TEST(RunSummary, BufferingBeforePlaybackIsStartUpNotAStall)
{
    LogBuilder b;
    b.samples(4, kPlayStateBuffering).samples(2, kPlayStatePlaying).samples(1, kPlayStateBuffering);
    b.samples(1, kPlayStateReconnecting).samples(2, kPlayStatePlaying).samples(2, kPlayStateReconnecting);
    const Figures f = summarize(b).run;
    EXPECT_DOUBLE_EQ(*f.startupSeconds, 2.0);
    EXPECT_EQ(f.stalls, 2);                    // Buffering+Reconnecting in a row is one stall
    EXPECT_NEAR(f.stallSeconds, 2.0, 1e-9);
}

TEST(RunSummary, PlaylistGivesEachClipItsOwnFiguresAndTheRunTheirTotals)
{
    LogBuilder b;
    b.samples(2, kPlayStateTransitioning).media("a", "file:///m/a.mkv", 3.0, 320, 240);
    b.samples(6, kPlayStatePlaying, [](SampleLine& s, int i) {
        s.fps = 25;
        s.network.framesSkipped = i;             // ends at 5
        s.network.protocol = protocolNamed("File");
    });
    b.samples(1, kPlayStateMediaEnded).samples(1, kPlayStateTransitioning);
    b.media("b", "http://127.0.0.1/b.mp4", 4.0, 640, 480);
    b.samples(2, kPlayStateBuffering, [](SampleLine& s, int) { s.network.protocol = protocolNamed("HTTP"); }); // start-up of b
    b.samples(8, kPlayStatePlaying, [](SampleLine& s, int i) {
        s.fps = 30;
        s.network.framesSkipped = i < 4 ? i : 3; // ends at 3
        s.network.receivedPackets = 10 * (i + 1);
        s.network.protocol = protocolNamed("HTTP");
    });
    b.samples(1, kPlayStateMediaEnded).samples(1, kPlayStateReady);

    const RunSummary summary = summarize(b);
    ASSERT_EQ(summary.clips.size(), 2u);
    const ClipSummary& a = summary.clips[0];
    const ClipSummary& clipB = summary.clips[1];
    EXPECT_EQ(a.media.name, "a");
    EXPECT_EQ(a.firstSample, 0u);
    EXPECT_EQ(a.endSample, 10u);
    EXPECT_DOUBLE_EQ(*a.figures.startupSeconds, 1.0);
    EXPECT_DOUBLE_EQ(*a.figures.frameRateMean, 25.0);
    EXPECT_EQ(a.figures.framesSkipped, 5);
    EXPECT_EQ(a.figures.protocol, "File");
    EXPECT_FALSE(a.figures.packetLossPercent);

    EXPECT_EQ(clipB.media.width, 640);
    EXPECT_EQ(clipB.firstSample, 10u);
    EXPECT_EQ(clipB.endSample, 22u);
    EXPECT_DOUBLE_EQ(*clipB.figures.startupSeconds, 1.0);
    EXPECT_EQ(clipB.figures.stalls, 0);
    EXPECT_EQ(clipB.figures.framesSkipped, 3);
    EXPECT_EQ(clipB.figures.receivedPackets, 80);
    EXPECT_DOUBLE_EQ(*clipB.figures.packetLossPercent, 0.0);
    EXPECT_EQ(clipB.figures.protocol, "HTTP");

    const Figures& run = summary.run;
    EXPECT_EQ(run.stalls, 0); // b's opening buffering is not a stall of the run
    EXPECT_EQ(run.framesSkipped, 8);
    EXPECT_EQ(run.receivedPackets, 80);
    EXPECT_NEAR(run.playingSeconds, 7.0, 1e-9);
    EXPECT_DOUBLE_EQ(*run.frameRateMean, (6 * 25.0 + 8 * 30.0) / 14.0);
}

TEST(RunSummary, StoppedSamplingDoesNotCountAsPlayingTime)
{
    LogBuilder b;
    b.samples(4, kPlayStatePlaying).pause(60000).samples(4, kPlayStatePlaying);
    EXPECT_NEAR(summarize(b).run.playingSeconds, 4.0, 1e-9);
}

TEST(RunSummary, ARunThatNeverPlayedHasNoRatesAndNoStartUp)
{
    LogBuilder b;
    b.samples(5, kPlayStateTransitioning).samples(3, kPlayStateReady);
    const Figures f = summarize(b).run;
    EXPECT_FALSE(f.startupSeconds);
    EXPECT_FALSE(f.bitRateMean);
    EXPECT_FALSE(f.frameRateMean);
    EXPECT_EQ(f.playingSeconds, 0.0);
    EXPECT_EQ(f.rebufferRatio, 0.0);

    const RunSummary empty = summarize(LogBuilder());
    EXPECT_EQ(empty.run.samples, 0u);
    EXPECT_TRUE(empty.clips.empty());
}

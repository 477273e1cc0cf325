// The frames the decoder drops after an outage's gap, by the cases the
// matrix's RTSP/UDP and WebRTC cells met (the decoder's "no picture ooo" counted).

#include "OutageResume.h"

#include <gtest/gtest.h>

#include <algorithm>

using namespace zephyrscope::bench;

namespace {

OutageResume::Frames framesAbout(std::int64_t shownSinceKey, std::int64_t nextSinceKey)
{
    OutageResume::Frames f;
    f.cutToNext = 38;
    f.cutToKey = 86;
    f.shownSinceKey = shownSinceKey;
    f.nextSinceKey = nextSinceKey;
    f.frameCycle = 16;
    f.frameMs = 40.0;
    return f;
}

} // namespace

TEST(OutageResume, DropsTheFramesNumberedBeforeTheLastShown)
{
    EXPECT_EQ(OutageResume::droppedAfterGap(framesAbout(23, 1)), 6); // 7 against 1 within the cycle
    EXPECT_EQ(OutageResume::droppedAfterGap(framesAbout(13, 2)), 11);
    EXPECT_EQ(OutageResume::droppedAfterGap(framesAbout(12, 1)), 11);
}

TEST(OutageResume, ShowsAFrameNumberedAfterTheLastShownAtOnce)
{
    EXPECT_EQ(OutageResume::droppedAfterGap(framesAbout(19, 8)), 0); // 3 against 8
    EXPECT_EQ(OutageResume::droppedAfterGap(framesAbout(12, 16)), 0); // frame number 0: a wrap
    EXPECT_EQ(OutageResume::droppedAfterGap(framesAbout(12, 0)), 0);  // a key frame
}

TEST(OutageResume, StallRunsFromTheFrameHitToTheFirstShown)
{
    const auto truth = OutageResume::stall(framesAbout(13, 2), 2040.0, "the server", 0);
    EXPECT_DOUBLE_EQ(truth.ms, (38 + 11) * 40.0);
    auto beyondKey = framesAbout(13, 2);
    beyondKey.cutToKey = 40;
    EXPECT_DOUBLE_EQ(OutageResume::stall(beyondKey, 2040.0, "the server", 0).ms, 40 * 40.0);
}

TEST(OutageResume, WithoutTheFramesTheGapAndAKeyFramesSlack)
{
    auto unknown = framesAbout(13, 2);
    unknown.frameCycle = -1;
    const auto truth = OutageResume::stall(unknown, 2040.0, "the server", 0);
    EXPECT_DOUBLE_EQ(truth.ms, 2040.0);
    EXPECT_DOUBLE_EQ(truth.toleranceMs, CellFigures::kKeyFrameSlackMs);
}

TEST(OutageResume, ReadsTheFramesAboutTheGapFromAFrameLog)
{
    // Key frames every 25 frames of 40 ms; the outage hits the key frame at 25
    // and every frame up to 66; the one at 50, mid-gap, is a key frame too.
    std::vector<zephyrscope::tools::impair::FrameDamageBound::Frame> log(100);
    for (std::size_t i = 0; i < log.size(); ++i) {
        log[i].firstPacketUs = static_cast<std::int64_t>(i) * 40000;
        log[i].key = i % 25 == 0;
        log[i].hit = i >= 25 && i <= 66;
    }
    const OutageResume::Frames f = OutageResume::fromLog(log, 16);
    EXPECT_EQ(f.cutToNext, 42);
    EXPECT_EQ(f.cutToKey, 50); // the key frame at 75: the one at 50 came hit
    EXPECT_EQ(f.shownSinceKey, 24);
    EXPECT_EQ(f.cutSinceKey, 0);
    EXPECT_EQ(f.nextSinceKey, 17);
    EXPECT_DOUBLE_EQ(f.frameMs, 40.0);

    for (auto& frame : log)
        frame.hit = false;
    EXPECT_EQ(OutageResume::fromLog(log, 16).cutToNext, -1); // nothing hit, nothing known
}

namespace {

// 100 frames of 40 ms, key frames every 25, those in demuxed passed on, each
// whole 10 ms after it began (late ones as given).
std::vector<zephyrscope::tools::impair::FrameDamageBound::Frame> lossLog(const std::vector<std::size_t>& demuxed)
{
    std::vector<zephyrscope::tools::impair::FrameDamageBound::Frame> log(100);
    for (std::size_t i = 0; i < log.size(); ++i) {
        log[i].firstPacketUs = static_cast<std::int64_t>(i) * 40000;
        log[i].lastPacketUs = log[i].firstPacketUs + 10000;
        log[i].key = i % 25 == 0;
        log[i].demuxed = std::find(demuxed.begin(), demuxed.end(), i) != demuxed.end();
    }
    return log;
}

std::vector<std::size_t> framesOf(const std::vector<OutageResume::Shown>& shown)
{
    std::vector<std::size_t> frames;
    for (const auto& s : shown)
        frames.push_back(s.frame);
    return frames;
}

} // namespace

// Nothing before the first key frame the decoder gets (3); 55 (number 5)
// orders before 37 (12), 63 (13) after; 66 (16: number 0) counts a wrap, so 80
// (5) orders after it; 99, never followed, never reaches the sink.
TEST(OutageResume, UnderLossShowsTheFramesNumberedOnFromTheLastShown)
{
    const auto log = lossLog({3, 25, 26, 37, 55, 63, 66, 80, 99});
    EXPECT_EQ(framesOf(OutageResume::shownUnderLoss(log, 16, 960.0)),
              (std::vector<std::size_t> {25, 26, 37, 63, 66, 80}));
    // 26 reaches the sink 300 ms after its due time (2000 ms): dropped, and the
    // decoder's QoS drops 37, due before 2000 + 600 + 40 ms.
    auto late = log;
    late[37].lastPacketUs = 2300000;
    EXPECT_EQ(framesOf(OutageResume::shownUnderLoss(late, 16, 960.0)),
              (std::vector<std::size_t> {25, 63, 66, 80}));
}

TEST(OutageResume, UnderLossStallsWhereTheSinkHoldsTheNextFrameASecond)
{
    const auto at = [](std::size_t frame, double reachedMs) {
        return OutageResume::Shown {frame, frame * 40.0, reachedMs};
    };
    // 1.2 s to 32, a stall; 1.2 s to 62 right after it, none; 3.2 s to 143, a
    // picture frozen 3 s before the sink got the next frame.
    const auto truth = OutageResume::stallsUnderLoss(
        {at(0, 0), at(1, 0), at(2, 0), at(32, 300), at(62, 1500), at(63, 2500), at(143, 6000)}, 40.0, 0.0);
    EXPECT_DOUBLE_EQ(truth.stalls, 2.0);
    EXPECT_DOUBLE_EQ(truth.ms, (1200.0 - 40.0) + (3200.0 - 40.0));
    // A gap of a second and a frame may go either way: the player's sum decides.
    const std::vector<OutageResume::Shown> edge {at(0, 0), at(1, 0), at(2, 0), at(3, 0), at(29, 100)};
    EXPECT_DOUBLE_EQ(OutageResume::stallsUnderLoss(edge, 40.0, 0.0).stalls, 0.0);
    EXPECT_DOUBLE_EQ(OutageResume::stallsUnderLoss(edge, 40.0, 1000.0).ms, 1040.0 - 40.0);
}

// The sender stumbled 160 ms at frame 95, the log ending before it caught up,
// and the cap held two first packets of three: the pace is still that of its
// least-delayed frames.
TEST(OutageResume, PacesTheFramesByTheLeastDelayed)
{
    auto log = lossLog({});
    for (std::size_t i = 0; i < log.size(); ++i)
        log[i].firstPacketUs += (i >= 95 ? 160000 : 0) + (i % 3 == 0 ? 0 : 90000);
    EXPECT_DOUBLE_EQ(OutageResume::senderFrameMs(log), 40.0);
}

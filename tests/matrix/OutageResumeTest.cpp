// The frames the decoder drops after an outage's gap, by the cases the
// matrix's RTSP/UDP and WebRTC cells met (the decoder's "no picture ooo" counted).

#include "OutageResume.h"

#include <gtest/gtest.h>

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

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

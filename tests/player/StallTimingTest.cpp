// The stall timing on its own: frames and play-state changes with their times
// given by hand.

#include "StallTiming.h"

#include <gtest/gtest.h>

using namespace zephyrscope;

namespace {

constexpr std::int64_t kMs = 1000;
constexpr std::int64_t kFrameUs = 40 * kMs; // 25 fps

// Shows frames every 40 ms from fromUs up to (not including) toUs; returns the last one's time.
std::int64_t showFrames(StallTiming& timing, std::int64_t fromUs, std::int64_t toUs)
{
    std::int64_t last = 0;
    for (std::int64_t t = fromUs; t < toUs; t += kFrameUs) {
        timing.frameShown(t);
        last = t;
    }
    return last;
}

} // namespace

TEST(StallTiming, FrameIntervalIsTheMedianSpacingOfTheLastFrames)
{
    StallTiming timing;
    EXPECT_EQ(timing.frameIntervalUs(), 0);
    timing.frameShown(1000 * kMs);
    EXPECT_EQ(timing.frameIntervalUs(), 0);
    showFrames(timing, 1040 * kMs, 1400 * kMs);
    EXPECT_EQ(timing.frameIntervalUs(), kFrameUs);
    // A gap of a second and one late frame among the last nine do not move it.
    timing.frameShown(2360 * kMs);
    timing.frameShown(2420 * kMs);
    showFrames(timing, 2460 * kMs, 2700 * kMs);
    EXPECT_EQ(timing.frameIntervalUs(), kFrameUs);
    // A new rate takes over once it is most of the last spacings.
    showFrames(timing, 2720 * kMs, 3000 * kMs);
    timing.frameShown(3020 * kMs);
    for (std::int64_t t = 3040 * kMs; t < 3200 * kMs; t += 20 * kMs)
        timing.frameShown(t);
    EXPECT_EQ(timing.frameIntervalUs(), 20 * kMs);
}

TEST(StallTiming, AStallDetectedLateStartsWhenTheNextFrameWasDueAndEndsAtTheFirstNewFrame)
{
    StallTiming timing;
    const std::int64_t last = showFrames(timing, 10 * kMs, 5000 * kMs);
    // The watch saw the picture stand still a second after its last frame.
    timing.stallBegan(last + 1000 * kMs, false);
    EXPECT_EQ(timing.count(), 1);
    EXPECT_EQ(timing.last().sinceUs, last + kFrameUs);
    EXPECT_EQ(timing.last().resumedUs, 0);
    // Data came back first: the play state returns before the picture does.
    timing.stallOver(last + 1500 * kMs);
    EXPECT_EQ(timing.last().resumedUs, 0);
    timing.frameShown(last + 1620 * kMs);
    timing.frameShown(last + 1660 * kMs);
    EXPECT_EQ(timing.last().resumedUs, last + 1620 * kMs);
    EXPECT_EQ(timing.last().resumedUs - timing.last().sinceUs, 1580 * kMs);

    // A picture that stood still until its frame came back, the state following it.
    const std::int64_t last2 = showFrames(timing, last + 1700 * kMs, last + 4000 * kMs);
    timing.stallBegan(last2 + 3000 * kMs, false);
    timing.frameShown(last2 + 3050 * kMs);
    timing.stallOver(last2 + 3100 * kMs);
    EXPECT_EQ(timing.count(), 2);
    EXPECT_EQ(timing.last().sinceUs, last2 + kFrameUs);
    EXPECT_EQ(timing.last().resumedUs, last2 + 3050 * kMs);
}

TEST(StallTiming, AFrameTheSinkHoldsForLaterEndsAStallThatBeganAfterTheFrameBeforeIt)
{
    // A jitter buffer re-timed a burst that came 2 s late to its arrival: the
    // sink already holds the first frame after the gap, for 2 s after the last
    // one shown, when the watch sees the stall.
    StallTiming timing;
    const std::int64_t last = showFrames(timing, 10 * kMs, 4000 * kMs);
    const std::int64_t held = last + 2030 * kMs;
    timing.frameShown(held);
    timing.stallBegan(last + 1000 * kMs, false);
    EXPECT_EQ(timing.count(), 1);
    EXPECT_EQ(timing.last().sinceUs, last + kFrameUs);
    EXPECT_EQ(timing.last().resumedUs, held);
    // The frames after it and the state's return change nothing.
    timing.frameShown(held + kFrameUs);
    timing.stallOver(held + 100 * kMs);
    EXPECT_EQ(timing.last().resumedUs, held);
    EXPECT_EQ(timing.last().resumedUs - timing.last().sinceUs, 1990 * kMs);
}

TEST(StallTiming, APauseForBufferingStartsWhenTheNextFrameWasDueAndLastsWhileThePipelineIsPaused)
{
    StallTiming timing;
    const std::int64_t last = showFrames(timing, 10 * kMs, 3000 * kMs);
    // The picture still moved: its next frame was due 15 ms after the pause,
    // so it shows 15 ms after the pipeline plays again.
    timing.stallBegan(last + 25 * kMs, true);
    EXPECT_EQ(timing.last().sinceUs, last + kFrameUs);
    // The paused sink prerolls on a frame: that is no resumption.
    timing.frameShown(last + 300 * kMs);
    EXPECT_EQ(timing.last().resumedUs, 0);
    timing.stallOver(last + 2000 * kMs);
    EXPECT_EQ(timing.last().resumedUs, last + 2015 * kMs);
    timing.frameShown(last + 2015 * kMs);
    EXPECT_EQ(timing.last().resumedUs, last + 2015 * kMs);

    // A buffering message after the picture had stopped dates back to the frame that did not come.
    const std::int64_t last2 = showFrames(timing, last + 2070 * kMs, last + 5000 * kMs);
    timing.stallBegan(last2 + 700 * kMs, true);
    EXPECT_EQ(timing.last().sinceUs, last2 + kFrameUs);
    timing.stallOver(last2 + 900 * kMs);
    timing.frameShown(last2 + 930 * kMs);

    // Paused 30 ms before a frame the sink already had was due: it holds that
    // frame, so the picture stops when it was due and restarts 30 ms after play.
    const std::int64_t last3 = showFrames(timing, last2 + 970 * kMs, last2 + 4000 * kMs);
    timing.stallBegan(last3 - 30 * kMs, true);
    EXPECT_EQ(timing.last().sinceUs, last3);
    timing.stallOver(last3 + 800 * kMs);
    EXPECT_EQ(timing.last().resumedUs, last3 + 830 * kMs);
    timing.frameShown(last3 + 870 * kMs); // the next frame changes nothing
    EXPECT_EQ(timing.last().resumedUs, last3 + 830 * kMs);
    EXPECT_EQ(timing.count(), 3);
}

TEST(StallTiming, AStallThatNeverResumesHasNoEndAndOneWithoutPicturesIsTheStates)
{
    StallTiming timing;
    timing.stallBegan(500 * kMs, false);
    EXPECT_EQ(timing.last().sinceUs, 500 * kMs);
    timing.stallOver(800 * kMs);
    EXPECT_EQ(timing.last().resumedUs, 800 * kMs);

    const std::int64_t last = showFrames(timing, 900 * kMs, 2000 * kMs);
    timing.stallBegan(last + 1200 * kMs, false);
    timing.stallOver(last + 1300 * kMs); // the state came back, the picture never did
    EXPECT_EQ(timing.count(), 2);
    EXPECT_EQ(timing.last().sinceUs, last + kFrameUs);
    EXPECT_EQ(timing.last().resumedUs, 0);
}

TEST(StallTiming, AStallBegunWhileTheLastOnesFirstNewFrameIsStillToBeShownIsThatStall)
{
    // A live stream's data stops for 2 s; when it comes back the jitter buffer
    // hands over a burst whose first new frame is due 1 s later, then is quiet,
    // and the watch declares a second stall 30 ms before that frame shows.
    StallTiming timing;
    const std::int64_t last = showFrames(timing, 10 * kMs, 5000 * kMs);
    timing.stallBegan(last + 540 * kMs, false);
    timing.stallOver(last + 1800 * kMs);
    const std::int64_t firstNewUs = last + 2800 * kMs;
    timing.frameShown(firstNewUs);
    EXPECT_EQ(timing.last().resumedUs, firstNewUs);
    timing.stallBegan(firstNewUs - 30 * kMs, false);
    EXPECT_EQ(timing.count(), 1);
    EXPECT_EQ(timing.last().sinceUs, last + kFrameUs);
    EXPECT_EQ(timing.last().resumedUs, firstNewUs);
    timing.stallOver(firstNewUs + 10 * kMs);
    showFrames(timing, firstNewUs + kFrameUs, firstNewUs + 2000 * kMs);
    EXPECT_EQ(timing.count(), 1);
    EXPECT_EQ(timing.last().resumedUs, firstNewUs);
    // Once that frame has been shown, a stall is a new one.
    timing.stallBegan(firstNewUs + 3000 * kMs, false);
    EXPECT_EQ(timing.count(), 2);
}

// The frames' times on their own, given by hand as the sink's probe would.

#include "PresentationTimes.h"

#include <gtest/gtest.h>

#include <vector>

using namespace zephyrscope;

namespace {

constexpr std::int64_t kMs = 1000;

std::vector<std::int64_t> shownSince(const PresentationTimes& times, std::uint64_t& seen)
{
    std::vector<std::int64_t> shown;
    seen = times.framesAfter(seen, [&](std::int64_t us) { shown.push_back(us); });
    return shown;
}

} // namespace

TEST(PresentationTimes, APrerolledFrameIsShownButGivesNoLatency)
{
    PresentationTimes times;
    std::uint64_t seen = 0;
    times.framePrerolled(10'000 * kMs);
    NetworkFigures figures;
    times.fill(figures);
    EXPECT_EQ(figures.firstFrameWallMs, 10'000);
    EXPECT_FALSE(figures.liveLatencyMs);
    EXPECT_EQ(shownSince(times, seen), std::vector<std::int64_t>({10'000 * kMs}));

    // Playing: the next frame is shown after the pipeline latency went by.
    times.frameShown(12'080 * kMs, 9'540 * kMs);
    times.fill(figures);
    EXPECT_EQ(figures.firstFrameWallMs, 10'000);
    ASSERT_TRUE(figures.liveLatencyMs);
    EXPECT_DOUBLE_EQ(*figures.liveLatencyMs, 2540.0);
    EXPECT_EQ(shownSince(times, seen), std::vector<std::int64_t>({12'080 * kMs}));
}

TEST(PresentationTimes, APrerolledFrameKeepsTheLatencyBeforeIt)
{
    PresentationTimes times;
    times.frameShown(5'000 * kMs, 3'000 * kMs);
    // Paused and played again: the sink prerolls the next frame.
    times.framePrerolled(9'000 * kMs);
    NetworkFigures figures;
    times.fill(figures);
    EXPECT_EQ(figures.firstFrameWallMs, 5'000);
    ASSERT_TRUE(figures.liveLatencyMs);
    EXPECT_DOUBLE_EQ(*figures.liveLatencyMs, 2000.0);
}

TEST(PresentationTimes, AFrameWithoutACaptureTimeClearsTheLatency)
{
    PresentationTimes times;
    times.frameShown(5'000 * kMs, 3'000 * kMs);
    times.frameShown(5'040 * kMs, 0);
    NetworkFigures figures;
    times.fill(figures);
    EXPECT_FALSE(figures.liveLatencyMs);
}

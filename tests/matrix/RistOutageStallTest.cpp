// The stall after a RIST outage by the relay's logs, in the three ways runs
// went: a packet of the cut frame given up a second after the data came back
// (every frame after it late, the decoder's QoS dropping twice the lateness),
// only the gap's last part repaired (the picture waits for the first whole
// frame), and the whole gap repaired at once (a standstill too short to count).

#include "RistOutageStall.h"

#include <gtest/gtest.h>

using namespace zephyrscope::bench;
using zephyrscope::tools::RepairDeadlines;
using zephyrscope::tools::TsDropRelay;

namespace {

constexpr std::int64_t kBaseUs = 1000000000000; // a wall time
constexpr std::int64_t kFrames = 200, kPacketsPerFrame = 4, kGapEndUs = kBaseUs + 5960000;

// Frames 40 ms apart, a key frame every 25, four packets each; the outage
// drops the packets from 402 to 595 (frames 100 to 148), and repairs
// arrive, or not, as repaired() says.
template <typename Repaired>
TsDropRelay::Counts countsWith(Repaired repaired)
{
    TsDropRelay::Counts c;
    for (std::int64_t f = 0; f < kFrames; ++f) {
        c.videoFrameLog.push_back({kBaseUs + f * 40000, f % 25 == 0, f >= 100 && f <= 148});
        c.videoFrameSequences.push_back(f * kPacketsPerFrame);
    }
    for (std::int64_t s = 0; s < kFrames * kPacketsPerFrame; ++s) {
        const std::int64_t sentUs = kBaseUs + s * 10000;
        if (s < 402 || s > 595)
            c.deliveries.push_back({s, sentUs, true});
        else
            c.deliveries.push_back(repaired(s));
    }
    c.blackoutFromWallUs = kBaseUs + 401 * 10000;
    c.blackoutToWallUs = kGapEndUs;
    return c;
}

// The cut frame (100) due 1880 ms after its first packet, as the player's stall start says.
constexpr std::int64_t kStallSinceMs = (kBaseUs + 4000000) / 1000 + 1880;

} // namespace

TEST(RistOutageStall, DropsTwiceTheLatenessWhenAPacketIsGivenUpASecondAfterTheGap)
{
    // 402 never came: given up at the gap's end and the buffer; the cut frame
    // leaves 1080 ms late, so frames due before 2200 ms after it are dropped
    // (2080 with three frames slipping through), and the next shown is due then or a frame on.
    const auto c = countsWith([](std::int64_t s) {
        return s == 402 ? RepairDeadlines::Delivery {s, kGapEndUs + 1000000, false}
                        : RepairDeadlines::Delivery {s, kGapEndUs + 40000, true};
    });
    const CellFigures::StallTruth truth = RistOutageStall::stall(c, kStallSinceMs, 1000.0, 40.0);
    EXPECT_EQ(truth.stalls, 1.0);
    EXPECT_DOUBLE_EQ(truth.ms, (2080.0 + 2240.0) / 2.0);
    EXPECT_DOUBLE_EQ(truth.toleranceMs, 80.0 + 20.0);
}

TEST(RistOutageStall, WaitsForTheFirstWholeFrameWhenOnlyTheGapsEndIsRepaired)
{
    // Up to 579 given up as the gap ended; 580 on repaired at once: frame 145
    // is the first whole, 45 frames after the cut (its frame number 4 after
    // the cut key frame's 0: not dropped), or the next.
    const auto c = countsWith([](std::int64_t s) {
        return s < 580 ? RepairDeadlines::Delivery {s, kGapEndUs, false}
                       : RepairDeadlines::Delivery {s, kGapEndUs + 20000, true};
    });
    const CellFigures::StallTruth truth = RistOutageStall::stall(c, kStallSinceMs, 1000.0, 40.0);
    EXPECT_EQ(truth.stalls, 1.0);
    EXPECT_DOUBLE_EQ(truth.ms, 1820.0);
    EXPECT_DOUBLE_EQ(truth.toleranceMs, 40.0);
}

TEST(RistOutageStall, CountsNoStallWhenTheWholeGapIsRepairedAtOnce)
{
    // Everything repaired 40 ms after the gap: the cut frame leaves about 120 ms
    // late and the picture moves again within half a second, which the player
    // does not count; it timed no stall, so the usual latency stands in.
    const auto c = countsWith([](std::int64_t s) { return RepairDeadlines::Delivery {s, kGapEndUs + 40000, true}; });
    const CellFigures::StallTruth truth = RistOutageStall::stall(c, 0, 1000.0, 40.0);
    EXPECT_EQ(truth.stalls, 0.0);
    EXPECT_EQ(truth.ms, 0.0);
}

#include "ChunkImpairment.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

using namespace zephyrscope::tools;
using zephyrscope::tools::impair::LossModel;

namespace {

constexpr std::int64_t kMsUs = 1000;
constexpr std::int64_t kSecondUs = 1000000;
constexpr std::size_t kChunk = ChunkImpairment::kSegmentBytes;

struct Sent {
    std::int64_t readUs, leftUs;
};

// A server writing one segment every gapUs for durationUs on one connection.
std::vector<Sent> offer(ChunkImpairment& path, std::int64_t gapUs, std::int64_t durationUs, int connection = 0)
{
    std::vector<Sent> sent;
    for (std::int64_t at = 0; at < durationUs; at += gapUs)
        sent.push_back({at, path.departureUs(at, kChunk, connection)});
    return sent;
}

void expectInOrder(const std::vector<Sent>& sent)
{
    for (std::size_t i = 1; i < sent.size(); ++i)
        ASSERT_GE(sent[i].leftUs, sent[i - 1].leftUs) << "chunk " << i << " overtook the one before it";
}

std::int64_t totalHoldUs(const std::vector<Sent>& sent)
{
    std::int64_t total = 0;
    for (const Sent& s : sent)
        total += s.leftUs - s.readUs;
    return total;
}

} // namespace

TEST(ChunkImpairment, WithoutImpairmentEveryChunkLeavesAsItIsReadAndIsCounted)
{
    ChunkImpairment path({});
    const std::vector<Sent> sent = offer(path, kMsUs, kSecondUs);
    for (const Sent& s : sent)
        EXPECT_EQ(s.leftUs, s.readUs);
    EXPECT_EQ(path.counts().chunks, 1000u);
    EXPECT_EQ(path.counts().bytes, 1000u * kChunk);
    EXPECT_EQ(path.counts().held, 0u);
    EXPECT_EQ(path.counts().heldUs, 0);
    EXPECT_FALSE(path.outageWindow());
}

TEST(ChunkImpairment, ALostChunkComesARetransmissionTimeoutLateAndHoldsItsConnectionBehindIt)
{
    // Every 100th chunk lost, one read every ms: chunks 100, 200 and 300 (read
    // at 99, 199 and 299 ms) leave 200 ms late, and the 99 read after each of
    // the first two on their connection wait for it (TCP delivers in order),
    // until it leaves; another connection is not held.
    ChunkImpairment::Params params;
    params.loss.kind = LossModel::Kind::EveryNth;
    params.loss.every = 100;
    ChunkImpairment path(params);
    for (std::int64_t ms = 0; ms < 300; ++ms) {
        const std::int64_t left = path.departureUs(ms * kMsUs, kChunk, 0);
        std::int64_t expectedMs = ms;
        if (ms == 99 || ms == 199 || ms == 299)
            expectedMs = ms + 200;
        else if (ms > 99 && ms < 199)
            expectedMs = 299;
        else if (ms > 199 && ms < 299)
            expectedMs = 399;
        EXPECT_EQ(left, expectedMs * kMsUs) << "read at " << ms << " ms";
    }
    EXPECT_EQ(path.departureUs(300 * kMsUs, kChunk, 1), 300 * kMsUs) << "another connection";
    const ChunkImpairment::Counts& counts = path.counts();
    EXPECT_EQ(counts.retransmitted, 3u);
    EXPECT_EQ(counts.bursts, 3u);
    EXPECT_EQ(counts.heldForOrder, 198u);
    EXPECT_EQ(counts.held, 201u);
    // 3 x 200 ms, and behind each of the first two 99 chunks held 199 .. 101 ms.
    EXPECT_EQ(counts.heldUs, (3 * 200 + 2 * (199 + 101) * 99 / 2) * kMsUs);
    EXPECT_EQ(counts.longestHoldUs, 200 * kMsUs);
}

TEST(ChunkImpairment, BurstsHoldWhatTheGilbertElliottChainLosesAndTheHoldsAddUp)
{
    ChunkImpairment::Params params;
    params.loss.kind = LossModel::Kind::GilbertElliott;
    params.loss.rate = 0.02;
    params.loss.meanBurst = 5.0;
    params.loss.seed = 7;
    ChunkImpairment path(params);
    LossModel sameChain(params.loss);
    std::uint64_t lost = 0;
    for (std::int64_t at = 0; at < 20 * kSecondUs; at += kMsUs) {
        const bool drops = sameChain.drops();
        lost += drops;
        const std::int64_t left = path.departureUs(at, kChunk, 0);
        if (drops) {
            EXPECT_GE(left, at + 200 * kMsUs);
        }
    }
    const ChunkImpairment::Counts& counts = path.counts();
    EXPECT_EQ(counts.retransmitted, lost);
    EXPECT_EQ(counts.bursts, sameChain.counts().bursts);
    EXPECT_NEAR(static_cast<double>(counts.retransmitted) / static_cast<double>(counts.bursts), 5.0, 1.5);
    EXPECT_EQ(counts.heldUs, counts.retransmitted * 200 * kMsUs + counts.heldForOrderUs);
}

TEST(ChunkImpairment, ARateCapHoldsTheExcessInOrderAndDropsNothing)
{
    // 2 Mbit/s offered for 5 s through a 1 Mbit/s cap: nothing is dropped; the
    // last chunk leaves when the cap has carried all of it, 10 s after the start
    // less the bucket's head start.
    ChunkImpairment::Params params;
    params.rateBitsPerSecond = 1000000;
    params.rateBucketBytes = 16 * 1024;
    ChunkImpairment path(params);
    const std::int64_t gapUs = kChunk * 8 * kSecondUs / 2000000;
    const std::vector<Sent> sent = offer(path, gapUs, 5 * kSecondUs);
    expectInOrder(sent);
    const double bytes = static_cast<double>(sent.size() * kChunk);
    const double expectedLastUs = (bytes - 16 * 1024) * 8.0 * kSecondUs / 1000000.0;
    EXPECT_NEAR(static_cast<double>(sent.back().leftUs), expectedLastUs, 2.0 * gapUs);
    const ChunkImpairment::Counts& counts = path.counts();
    EXPECT_EQ(counts.chunks, sent.size());
    EXPECT_EQ(counts.retransmitted, 0u);
    EXPECT_GT(counts.capped, sent.size() * 9 / 10);
    EXPECT_EQ(counts.cappedUs, totalHoldUs(sent));
    EXPECT_EQ(counts.heldUs, totalHoldUs(sent));
}

TEST(ChunkImpairment, DelayWithJitterStaysInItsRangeAndKeepsEachConnectionsOrder)
{
    ChunkImpairment::Params params;
    params.delay.delayUs = 100 * kMsUs;
    params.delay.jitterUs = 30 * kMsUs;
    params.delay.seed = 3;
    ChunkImpairment path(params);
    std::vector<Sent> first, second;
    for (std::int64_t at = 0; at < 5 * kSecondUs; at += 5 * kMsUs) {
        first.push_back({at, path.departureUs(at, kChunk, 0)});
        second.push_back({at, path.departureUs(at, kChunk, 1)});
    }
    expectInOrder(first);
    expectInOrder(second);
    const ChunkImpairment::Counts& counts = path.counts();
    for (const auto* sent : {&first, &second}) {
        for (const Sent& s : *sent) {
            EXPECT_GE(s.leftUs - s.readUs, 70 * kMsUs);
            EXPECT_LE(s.leftUs - s.readUs, 130 * kMsUs);
        }
    }
    EXPECT_EQ(counts.delayed, counts.chunks);
    // Draws 5 ms apart overtake each other often; order costs a few ms on average.
    EXPECT_GT(counts.heldForOrder, 0u);
    EXPECT_EQ(counts.heldUs, counts.delayedUs + counts.heldForOrderUs);
    EXPECT_EQ(counts.heldUs, totalHoldUs(first) + totalHoldUs(second));
    const double meanMs = static_cast<double>(counts.delayedUs) / static_cast<double>(counts.delayed) / kMsUs;
    EXPECT_NEAR(meanMs, 100.0, 3.0);
}

TEST(ChunkImpairment, AnOutageForwardsNothingWhileItLastsAndReleasesEverythingAtItsEnd)
{
    ChunkImpairment::Params params;
    params.outage.startUs = kSecondUs;
    params.outage.durationUs = 2 * kSecondUs;
    ChunkImpairment path(params);
    const std::int64_t firstUs = 500 * kMsUs; // the outage counts from the first chunk
    std::vector<Sent> sent;
    for (std::int64_t at = firstUs; at < firstUs + 4 * kSecondUs; at += 10 * kMsUs)
        sent.push_back({at, path.departureUs(at, kChunk, 0)});
    ASSERT_TRUE(path.outageWindow());
    EXPECT_EQ(path.outageWindow()->first, firstUs + kSecondUs);
    EXPECT_EQ(path.outageWindow()->second, firstUs + 3 * kSecondUs);
    std::int64_t expectedHoldUs = 0;
    std::uint64_t inside = 0;
    for (const Sent& s : sent) {
        const bool during = s.readUs >= firstUs + kSecondUs && s.readUs < firstUs + 3 * kSecondUs;
        EXPECT_EQ(s.leftUs, during ? firstUs + 3 * kSecondUs : s.readUs);
        inside += during;
        expectedHoldUs += s.leftUs - s.readUs;
    }
    EXPECT_EQ(inside, 200u);
    EXPECT_EQ(path.counts().heldByOutage, inside);
    EXPECT_EQ(path.counts().heldByOutageUs, expectedHoldUs);
    EXPECT_EQ(path.counts().longestHoldUs, 2 * kSecondUs);
    EXPECT_EQ(path.counts().held, inside);
}

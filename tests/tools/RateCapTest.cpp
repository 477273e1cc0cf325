#include "RateCap.h"

#include <gtest/gtest.h>

#include <algorithm>

#include <map>

using namespace zephyrscope::tools::impair;

namespace {

constexpr std::int64_t kSecondUs = 1000000;
constexpr std::size_t kDatagram = 1316; // seven TS packets

RateCap::Params capAt(std::int64_t bitsPerSecond)
{
    RateCap::Params params;
    params.bitsPerSecond = bitsPerSecond;
    params.bucketBytes = 1500;
    params.queueBytes = 64 * 1024;
    return params;
}

} // namespace

TEST(RateCap, PassesTheCapsBytesEachSecondInSteadyStateAndCountsTheExcess)
{
    // Twice the cap is offered for 10 s. Once the queue is full (well within
    // the first second), the datagrams leave exactly 1316 bytes / 125 bytes per
    // ms apart, so each whole second carries the cap's 125,000 bytes to within
    // the one datagram a second's edge can cut.
    constexpr std::int64_t kCapBps = 1000000;
    constexpr std::int64_t kCapBytesPerSecond = kCapBps / 8;
    RateCap cap(capAt(kCapBps));
    const std::int64_t gapUs = kDatagram * kSecondUs / (2 * kCapBytesPerSecond);
    std::map<std::int64_t, std::int64_t> bytesLeavingInSecond;
    std::uint64_t offered = 0;
    for (std::int64_t at = 0; at < 10 * kSecondUs; at += gapUs) {
        ++offered;
        if (const auto leaves = cap.departureUs(at, kDatagram)) {
            EXPECT_GE(*leaves, at);
            bytesLeavingInSecond[*leaves / kSecondUs] += kDatagram;
        }
    }
    for (std::int64_t second = 2; second < 10; ++second)
        EXPECT_NEAR(bytesLeavingInSecond[second], kCapBytesPerSecond, kDatagram) << "second " << second;
    const RateCap::Counts& counts = cap.counts();
    EXPECT_EQ(counts.seen, offered);
    // What passed is what left in 10 s at the cap plus what the full queue
    // holds, to within a datagram either way at each end; the rest is capped.
    EXPECT_NEAR(static_cast<double>(counts.passedBytes), 10.0 * kCapBytesPerSecond + 64 * 1024, 2.0 * kDatagram);
    EXPECT_EQ(counts.cappedBytes, counts.capped * kDatagram);
    EXPECT_EQ(counts.passedBytes + counts.cappedBytes, offered * kDatagram);
    EXPECT_GT(counts.held, 0u);
    EXPECT_LE(cap.queuedBytes(10 * kSecondUs), 64 * 1024);
}

TEST(RateCap, LetsTrafficBelowTheCapThroughAtOnce)
{
    RateCap cap(capAt(1000000));
    // A quarter of the cap: the bucket refills between datagrams.
    const std::int64_t gapUs = 4 * kDatagram * 8;
    for (std::int64_t at = 0; at < kSecondUs; at += gapUs)
        EXPECT_EQ(cap.departureUs(at, kDatagram), at);
    EXPECT_EQ(cap.counts().held, 0u);
    EXPECT_EQ(cap.counts().capped, 0u);
}

TEST(RateCap, HoldsABurstWhileTheQueueHasRoomAndCapsTheRest)
{
    RateCap::Params params = capAt(1000000);
    params.queueBytes = 10 * kDatagram;
    RateCap cap(params);
    int passed = 0, capped = 0;
    // Forty datagrams at once: the bucket sends one, the queue holds ten.
    for (int i = 0; i < 40; ++i)
        cap.departureUs(0, kDatagram) ? ++passed : ++capped;
    EXPECT_EQ(passed, 11);
    EXPECT_EQ(capped, 29);
    EXPECT_EQ(cap.counts().held, 10u);
    EXPECT_EQ(cap.counts().capped, 29u);
}

TEST(RateCap, ATimeBoundedQueueHoldsNoDatagramLongerThanItsBound)
{
    // Twice the cap offered for 5 s, into a queue of 64 KiB that would hold
    // 524 ms at 1 Mbit/s, bounded to 100 ms: no datagram waits longer, the
    // queue holds 100 ms of the cap once full, and what passes is the cap's
    // rate plus that much.
    constexpr std::int64_t kCapBps = 1000000;
    constexpr std::int64_t kBoundUs = 100000;
    RateCap::Params params = capAt(kCapBps);
    params.queueUs = kBoundUs;
    RateCap cap(params);
    const std::int64_t gapUs = kDatagram * 8 * kSecondUs / (2 * kCapBps);
    std::int64_t longestWaitUs = 0;
    std::uint64_t passed = 0;
    for (std::int64_t at = 0; at < 5 * kSecondUs; at += gapUs) {
        if (const auto leaves = cap.departureUs(at, kDatagram)) {
            longestWaitUs = std::max(longestWaitUs, *leaves - at);
            ++passed;
        }
    }
    EXPECT_LE(longestWaitUs, kBoundUs + 1);
    EXPECT_EQ(cap.counts().longestWaitUs, longestWaitUs);
    // A datagram leaves every 10.5 ms at the cap: the longest wait is within one of the bound.
    EXPECT_GT(longestWaitUs, kBoundUs - kDatagram * 8 * kSecondUs / kCapBps);
    EXPECT_LE(cap.queuedBytes(5 * kSecondUs), kCapBps / 8 / 10 + static_cast<std::int64_t>(kDatagram));
    const double capBytes = 5.0 * kCapBps / 8 + kCapBps / 8 / 10;
    EXPECT_NEAR(static_cast<double>(cap.counts().passedBytes), capBytes, 2.0 * kDatagram);
    EXPECT_EQ(cap.counts().passedBytes, passed * kDatagram);
    EXPECT_GT(cap.counts().capped, passed / 2);
}

TEST(RateCap, WithoutACapPassesEverythingAtOnce)
{
    RateCap cap(RateCap::Params {});
    for (int i = 0; i < 100; ++i)
        EXPECT_EQ(cap.departureUs(i, 65000), i);
    EXPECT_EQ(cap.counts().held + cap.counts().capped, 0u);
}

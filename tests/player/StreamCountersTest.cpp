#include "AdaptiveManifest.h"
#include "StreamCounters.h"
#include "TimestampGaps.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>

using namespace zephyrscope;

namespace {

// count variants of a master playlist, 64 bytes each.
std::string variantLines(int first, int count)
{
    std::string text;
    for (int k = first; k < first + count; ++k) {
        std::string entry = "#EXT-X-STREAM-INF:BANDWIDTH=" + std::to_string(1000 + k) + "\nv" + std::to_string(k);
        entry.resize(63, 'x');
        text += entry + "\n";
    }
    return text;
}

} // namespace

// A manifest past the 1 MiB bound is cut once, at a line end, and nothing after
// the cut is kept: a later, smaller chunk would leave a hole in the middle.
TEST(StreamCounters, ManifestOverItsBoundIsCutCleanlyAndKeepsTheVariantsBeforeTheCut)
{
    StreamCounters counters;
    const std::string head = "#EXTM3U\n";
    counters.manifestData(head.data(), head.size());
    const std::string big = variantLines(0, 12000);   // 768 000 bytes
    counters.manifestData(big.data(), big.size());
    const std::string crossing = variantLines(12000, 8000); // would end past 1 MiB
    counters.manifestData(crossing.data(), crossing.size());
    const std::string later = variantLines(90000, 2);
    counters.manifestData(later.data(), later.size());

    const std::string manifest = counters.manifest();
    EXPECT_LE(manifest.size(), std::size_t(1) << 20);
    ASSERT_FALSE(manifest.empty());
    EXPECT_EQ(manifest.back(), '\n');
    EXPECT_EQ(manifest.find("v90000"), std::string::npos);
    const auto variants = AdaptiveManifest::parse(manifest, "http://127.0.0.1/m.m3u8");
    ASSERT_FALSE(variants.empty());
    // In order and without a gap up to the cut.
    for (std::size_t k = 0; k < variants.size(); ++k)
        ASSERT_EQ(variants[k].bandwidth, std::int64_t(1000 + k));
    EXPECT_EQ(variants.size(), ((std::size_t(1) << 20) - head.size()) / 64);
}

// Segments an adaptive demuxer downloads are bytes received even when it drops
// them instead of passing them to its parsers; what it does pass on is not
// counted twice.
TEST(StreamCounters, SegmentsTheDemuxerDroppedAreReceivedButNotTakenIn)
{
    StreamCounters passedOn;
    passedOn.requestFinished("http://h/live.m3u8", 200, "OK", 500);
    passedOn.dataArrived(400000, 10);
    passedOn.requestFinished("http://h/seg1.ts", 200, "OK", 400000);
    EXPECT_EQ(passedOn.bytes(), 400500u);
    EXPECT_EQ(passedOn.bytesTakenIn(), 400500u);

    StreamCounters dropped;
    dropped.requestFinished("http://h/live.m3u8", 200, "OK", 500);
    for (int k = 0; k < 3; ++k)
        dropped.requestFinished("http://h/seg" + std::to_string(k) + ".ts", 200, "OK", 400000);
    EXPECT_EQ(dropped.segmentsReceived(), 3u);
    EXPECT_EQ(dropped.bytes(), 1200500u);
    EXPECT_EQ(dropped.bytesTakenIn(), 500u);
}

// A segment's download time and its bytes are read as one: a reader never sees
// one segment's time with another's bytes, whatever the download thread does
// meanwhile. The two segments here differ in both, so any mix is a pair that
// neither of them is.
TEST(StreamCounters, LastSegmentsTimeAndBytesAreAlwaysOfTheSameSegment)
{
    StreamCounters counters;
    EXPECT_EQ(counters.lastSegment().us, 0);
    EXPECT_EQ(counters.lastSegment().bytes, 0u);
    counters.requestFinished("http://h/unknown.ts", 200, "OK", 5000); // no time: not a last segment
    EXPECT_EQ(counters.lastSegment().us, 0);

    constexpr int kSegments = 100000;
    std::atomic<bool> done {false};
    std::thread download([&] {
        for (int k = 0; k < kSegments; ++k) {
            if (k % 2 == 0)
                counters.requestFinished("http://h/a.ts", 200, "OK", 100000, 1000);
            else
                counters.requestFinished("http://h/b.ts", 200, "OK", 300000, 6000);
        }
        done = true;
    });
    int mixed = 0, reads = 0;
    while (!done) {
        const StreamCounters::SegmentDownload s = counters.lastSegment();
        ++reads;
        const bool a = s.us == 1000 && s.bytes == 100000u;
        const bool b = s.us == 6000 && s.bytes == 300000u;
        if (!a && !b && !(s.us == 0 && s.bytes == 0u))
            ++mixed;
    }
    download.join();
    EXPECT_EQ(mixed, 0) << "of " << reads << " reads";
    EXPECT_EQ(counters.lastSegment().us, 6000);
    EXPECT_EQ(counters.lastSegment().bytes, 300000u);
    EXPECT_EQ(counters.segmentsReceived(), static_cast<std::uint64_t>(kSegments) + 1);
}

// Parsed access units of a 25 fps stream with a known set missing: every gap in
// their decoding times counts the frames that should have stood in it; a
// second field (the same time again), a stream that starts again (backwards, or
// two seconds on) and a stream with no frame duration count none.
TEST(TimestampGaps, MissingFramesAreTheGapsInDecodingTimesInFrameDurations)
{
    constexpr std::int64_t kFrameUs = 40000;
    TimestampGaps gaps;
    std::uint64_t missing = 0;
    // 100 frames, of which 7, 8, 9 (a gap of three), 50 and 75 never came.
    for (std::int64_t frame = 0; frame < 100; ++frame) {
        if ((frame >= 7 && frame <= 9) || frame == 50 || frame == 75)
            continue;
        // Timestamps jitter by a few ms, as a muxer's rounding leaves them.
        missing += gaps.add(1000000 + frame * kFrameUs + (frame % 3) * 1000, kFrameUs);
    }
    EXPECT_EQ(missing, 5u);
    EXPECT_EQ(gaps.missing(), 5u);
    EXPECT_EQ(gaps.add(1000000 + 99 * kFrameUs, kFrameUs), 0u); // the same time: a second field
    EXPECT_EQ(gaps.add(500000, kFrameUs), 0u);                            // backwards: starts again
    EXPECT_EQ(gaps.add(500000 + TimestampGaps::kRestartUs, kFrameUs), 0u); // two seconds on: starts again
    EXPECT_EQ(gaps.add(500000 + TimestampGaps::kRestartUs + 3 * kFrameUs, 0), 0u);
    EXPECT_EQ(gaps.missing(), 5u);
}

// Transport only: the rate is the access units' count over the span of their
// decoding times, and the frames missing are those of the gaps; the arrival
// times (here all but together, as a burst after a stall) do not set the rate.
TEST(StreamCounters, TransportOnlyRateAndSkippedFramesComeFromTheStreamsTimestamps)
{
    constexpr std::int64_t kFrameUs = 20000; // 50 fps
    StreamCounters counters;
    counters.setTransportOnly(true);
    counters.videoFormat(1920, 1080, 50, 1);
    const std::int64_t arrival = 5000000;
    std::int64_t units = 0;
    for (std::int64_t frame = 0; frame < 40; ++frame) {
        if (frame == 10 || frame == 11)
            continue;
        counters.accessUnitArrived(arrival + units * 100, 90000000 + frame * kFrameUs, kFrameUs);
        ++units;
        // Frame 20 comes as two units of one time, frame 30 as two 5 ms apart:
        // one frame each all the same.
        if (frame == 20 || frame == 30) {
            counters.accessUnitArrived(arrival + units * 100, 90000000 + frame * kFrameUs + (frame - 20) * 500,
                                       kFrameUs);
            ++units;
        }
    }
    const std::int64_t now = arrival + units * 100;
    EXPECT_EQ(counters.framesMissing(), 2u);
    // 38 frames over 39 frame durations.
    EXPECT_EQ(counters.streamFrameRateTimes100(now), static_cast<std::int32_t>(37.0 * 1e6 / (39 * kFrameUs) * 100 + 0.5));
    // The arrival rate is that of the burst, nothing like the stream's.
    EXPECT_GT(counters.frameRateTimes100(now), 100000);
    // Without decoding times there is no rate on the stream's clock.
    StreamCounters decoded;
    decoded.frameArrived(arrival);
    decoded.frameArrived(arrival + kFrameUs);
    EXPECT_EQ(decoded.streamFrameRateTimes100(arrival + kFrameUs), 0);
    EXPECT_EQ(decoded.frameRateTimes100(arrival + kFrameUs), 5000);
}

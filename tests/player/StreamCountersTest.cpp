#include "AdaptiveManifest.h"
#include "StreamCounters.h"

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

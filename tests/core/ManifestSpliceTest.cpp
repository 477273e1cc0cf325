#include "HlsSpliceTags.h"
#include "ManifestSplice.h"

#include <gtest/gtest.h>

using namespace zephyrscope;

namespace {

// 2026-01-01T00:00:00Z in ms since 1970.
constexpr std::int64_t kNewYearMs = 1767225600000;

} // namespace

TEST(ManifestSplice, DecodesHexAndBase64AndRefusesAnythingElse)
{
    EXPECT_EQ(ManifestSplice::fromHex("0xFC3011"), (std::vector<std::uint8_t> {0xFC, 0x30, 0x11}));
    EXPECT_EQ(ManifestSplice::fromHex("fc30"), (std::vector<std::uint8_t> {0xFC, 0x30}));
    EXPECT_EQ(ManifestSplice::fromBase64("/DAR"), (std::vector<std::uint8_t> {0xFC, 0x30, 0x11}));
    EXPECT_EQ(ManifestSplice::fromBase64("/DA="), (std::vector<std::uint8_t> {0xFC, 0x30}));
    for (const char* bad : {"", "0x", "0xFC3", "0xZZ"})
        EXPECT_FALSE(ManifestSplice::fromHex(bad)) << bad;
    for (const char* bad : {"", "/D*R", "/DA=R", "/"})
        EXPECT_FALSE(ManifestSplice::fromBase64(bad)) << bad;
}

TEST(HlsSpliceTags, ReadsDateRangesAndCuesDatedByTheirSegmentAndCountsMalformedTags)
{
    const ManifestSplices read = HlsSpliceTags::parse(
        "#EXTM3U\n#EXT-X-TARGETDURATION:2\n#EXT-X-MEDIA-SEQUENCE:10\n"
        "#EXT-X-PROGRAM-DATE-TIME:2026-01-01T00:00:00Z\n#EXTINF:2.0,\ns10.ts\n"
        "#EXT-X-DATERANGE:ID=\"b1\",START-DATE=\"2026-01-01T00:00:02Z\",PLANNED-DURATION=6,SCTE35-OUT=0xFC30\n"
        "#EXT-X-CUE-OUT:6.5\n#EXTINF:2.0,\ns11.ts\n"
        "#EXT-X-CUE-OUT-CONT:2/6.5\n#EXTINF:2.0,\ns12.ts\n"
        "#EXT-X-DATERANGE:ID=\"b1\",START-DATE=\"2026-01-01T00:00:02Z\",DURATION=6,SCTE35-IN=0xFC31\n"
        "#EXT-X-CUE-IN\n#EXT-X-SCTE35:CUE=\"/DAR\",ID=\"s\"\n#EXTINF:2.0,\ns13.ts\n"
        "#EXT-X-DATERANGE:ID=\"x\",START-DATE=\"2026-01-01T00:00:02Z\",SCTE35-OUT=0xF\n"
        "#EXT-X-DATERANGE:ID=\"y\",SCTE35-CMD=0xFC30\n#EXT-X-DATERANGE:ID=\"ad\",START-DATE=\"2026-01-01T00:00:02Z\"\n"
        "#EXT-X-CUE-OUT:soon\n#EXT-X-SCTE35:CUE=\"*\"\n#EXTINF:2.0,\ns14.ts\n");
    ASSERT_EQ(read.splices.size(), 5u);
    const auto& out = read.splices[0];
    EXPECT_EQ(out.id, "daterange:b1/SCTE35-OUT");
    EXPECT_EQ(out.section, (std::vector<std::uint8_t> {0xFC, 0x30}));
    EXPECT_EQ(out.command.spliceWallMs, kNewYearMs + 2000);
    EXPECT_EQ(out.command.durationMs, 6000);
    EXPECT_EQ(out.command.source, SpliceSource::Hls);
    const auto& cueOut = read.splices[1];
    EXPECT_TRUE(cueOut.section.empty());
    EXPECT_EQ(cueOut.command.outOfNetwork, true);
    EXPECT_EQ(cueOut.command.durationMs, 6500);
    EXPECT_EQ(cueOut.command.spliceWallMs, kNewYearMs + 2000) << "its segment's date";
    const auto& in = read.splices[2];
    EXPECT_EQ(in.command.outOfNetwork, false);
    EXPECT_EQ(in.command.spliceWallMs, kNewYearMs + 8000) << "back in at the range's end";
    EXPECT_EQ(read.splices[3].command.outOfNetwork, false);
    EXPECT_EQ(read.splices[3].command.spliceWallMs, kNewYearMs + 6000);
    EXPECT_EQ(read.splices[4].id, "scte35:s");
    EXPECT_EQ(read.splices[4].section.size(), 3u);
    // An odd hex digit, no START-DATE, a CUE-OUT that is no duration, a CUE that is no base64.
    EXPECT_EQ(read.malformed.size(), 4u);
    EXPECT_EQ(HlsSpliceTags::parse(std::string(100000, '#')).splices.size(), 0u);
}

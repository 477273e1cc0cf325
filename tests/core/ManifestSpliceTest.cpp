#include "DashSpliceEvents.h"
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

TEST(DashSpliceEvents, ReadsBothSchemesDatedOnTheMpdClockAndCountsMalformedEvents)
{
    const ManifestSplices read = DashSpliceEvents::parse(
        R"(<?xml version="1.0"?><MPD xmlns="urn:mpeg:dash:schema:mpd:2011" type="dynamic")"
        R"( availabilityStartTime="2026-01-01T00:00:00Z"><Period id="p" start="PT10S">)"
        R"(<EventStream schemeIdUri="urn:scte:scte35:2013:xml" timescale="1000" presentationTimeOffset="500">)"
        R"(<Event id="1" presentationTime="2500" duration="30000"><scte35:SpliceInfoSection xmlns:scte35="urn:scte:scte35:2013:xml">)"
        R"(<scte35:SpliceInsert spliceEventId="77" outOfNetworkIndicator="true"><scte35:BreakDuration duration="2700000"/>)"
        R"(</scte35:SpliceInsert></scte35:SpliceInfoSection></Event>)"
        R"(<Event id="2" presentationTime="9000"><SpliceInfoSection><SpliceInsert spliceEventId="77" outOfNetworkIndicator="false"/></SpliceInfoSection></Event>)"
        R"(<Event id="3" presentationTime="9000"><SpliceInfoSection><SpliceInsert outOfNetworkIndicator="false"/></SpliceInfoSection></Event>)"
        R"(<Event id="4" presentationTime="-1"><SpliceInfoSection><TimeSignal/></SpliceInfoSection></Event>)"
        R"(</EventStream><EventStream schemeIdUri="urn:scte:scte35:2014:xml+bin" timescale="90000">)"
        R"(<Event id="5" presentationTime="180000" duration="900000"><Signal><Binary>/DAR</Binary></Signal></Event>)"
        R"(<Event id="6"><Signal><Binary>*</Binary></Signal></Event></EventStream>)"
        R"(<EventStream schemeIdUri="urn:scte:scte35:2014:xml+bin" timescale="0"/></Period></MPD>)");
    ASSERT_EQ(read.splices.size(), 3u);
    const auto& out = read.splices[0];
    EXPECT_EQ(out.id, "event:p/urn:scte:scte35:2013:xml/1");
    EXPECT_EQ(out.command.source, SpliceSource::Dash);
    EXPECT_EQ(out.command.command, SpliceCommandType::SpliceInsert);
    EXPECT_EQ(out.command.eventId, 77u);
    EXPECT_EQ(out.command.outOfNetwork, true);
    EXPECT_EQ(out.command.durationMs, 30000) << "the section's, not the Event's";
    EXPECT_EQ(out.command.spliceWallMs, kNewYearMs + 10000 + 2000);
    EXPECT_EQ(read.splices[1].command.outOfNetwork, false);
    EXPECT_EQ(read.splices[1].command.durationMs, std::nullopt);
    const auto& binary = read.splices[2];
    EXPECT_EQ(binary.section, (std::vector<std::uint8_t> {0xFC, 0x30, 0x11}));
    EXPECT_EQ(binary.command.spliceWallMs, kNewYearMs + 12000);
    EXPECT_EQ(binary.command.durationMs, 10000);
    // No event id, a negative time, no base64, a timescale of 0.
    EXPECT_EQ(read.malformed.size(), 4u);
    EXPECT_TRUE(DashSpliceEvents::parse("<MPD><Period><EventStream").splices.empty());
    EXPECT_TRUE(DashSpliceEvents::parse("not xml").malformed.empty());
}

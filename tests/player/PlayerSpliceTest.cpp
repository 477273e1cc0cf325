#include "PlayerTestEnvironment.h"

#include "BroadcastTestSender.h"
#include "EventRecorder.h"
#include "HttpTestServer.h"
#include "MainLoopWait.h"
#include "PlayerEngine.h"
#include "SpliceSectionReader.h"
#include "SpliceTestSender.h"
#include "SpliceWatch.h"

#define GST_USE_UNSTABLE_API
#include <gst/gst.h>
#include <gst/mpegts/mpegts.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <fstream>
#include <sstream>
#include <vector>

using namespace zephyrscope;
using namespace zephyrscope::testing;
using namespace std::chrono_literals;

namespace {

constexpr std::int64_t kFrameMs = 40; // the sender's 25 fps

SpliceTestSender::Splice splice(std::uint32_t eventId, bool out, std::int64_t sendAtMs, std::int64_t spliceAtMs,
                                std::int64_t durationMs)
{
    SpliceTestSender::Splice s;
    s.eventId = eventId;
    s.out = out;
    s.sendAtMs = sendAtMs;
    s.spliceAtMs = spliceAtMs;
    s.durationMs = durationMs;
    return s;
}

// A splice_insert as GStreamer's section library writes it: its bytes. Out of
// the network for 30 s, or back in.
std::vector<std::uint8_t> spliceBytes(std::uint32_t eventId = 7, bool out = true)
{
    gst_mpegts_initialize();
    constexpr guint64 kTicksPerS = 90000; // the stream's own clock
    GstMpegtsSCTESIT* sit = out ? gst_mpegts_scte_splice_out_new(eventId, 2 * kTicksPerS, 30 * kTicksPerS)
                                : gst_mpegts_scte_splice_in_new(eventId, 2 * kTicksPerS);
    sit->is_running_time = FALSE; // the times are the stream's own: written as given
    GstMpegtsSection* section = gst_mpegts_section_from_scte_sit(sit, 500);
    gsize size = 0;
    const guint8* data = gst_mpegts_section_packetize(section, &size);
    std::vector<std::uint8_t> bytes(data, data + size);
    gst_mpegts_section_unref(section);
    return bytes;
}

} // namespace

TEST(SpliceSectionReader, ReadsAWholeSectionAndRefusesATruncatedOversizedOrCorruptOne)
{
    const std::vector<std::uint8_t> bytes = spliceBytes();
    const auto read = SpliceSectionReader::read(bytes.data(), bytes.size());
    ASSERT_TRUE(read);
    ASSERT_EQ(read->size(), 1u);
    EXPECT_EQ(read->front().command, SpliceCommandType::SpliceInsert);
    EXPECT_EQ(read->front().eventId, 7u);
    EXPECT_EQ(read->front().outOfNetwork, true);

    std::vector<std::uint8_t> badCrc = bytes;
    if (!badCrc.empty())
        badCrc.back() ^= 0x01;
    std::vector<std::uint8_t> oversized = bytes;
    oversized.resize(SpliceSectionReader::kMaxSectionBytes + 1);
    std::vector<std::uint8_t> longerThanSaid = bytes;
    longerThanSaid.push_back(0);
    const std::vector<std::vector<std::uint8_t>> refused = {
        badCrc, oversized, longerThanSaid, {bytes.begin(), bytes.end() - 1}, {bytes.begin(), bytes.begin() + 3}, {}};
    SpliceWatch watch;
    for (const auto& section : refused)
        watch.heard(SpliceSectionReader::read(section.data(), section.size()), 0);
    watch.heard(read, 0);
    watch.heard(read, 0); // sent again: the same splice
    SpliceFigures figures;
    watch.fill(figures, 0);
    EXPECT_EQ(figures.errors, refused.size());
    EXPECT_EQ(figures.commands.size(), 1u);
    EXPECT_EQ(figures.counts[static_cast<std::size_t>(SpliceCommandType::SpliceInsert)], 1u);
}

// Raw UDP, or an SRT listener whose receiver plays each packet its latency
// after it was sent: the splice takes effect that much later for the viewer.
struct SpliceCarrier {
    const char* name;
    int srtLatencyMs; // 0: raw UDP
};

class PlayerSpliceCarriers : public ::testing::TestWithParam<SpliceCarrier> {};

TEST_P(PlayerSpliceCarriers, SpliceInsertsAreReportedOnceEachAtTheirSplicePoints)
{
    unsetenv("DISPLAY");
    gst_init(nullptr, nullptr);
    const SpliceCarrier carrier = GetParam();
    const bool srt = carrier.srtLatencyMs > 0;
    EventRecorder events;
    auto engine = std::make_unique<PlayerEngine>();
    engine->setFakeSinks(true);
    engine->setEventSink(&events);
    const std::uint16_t port = BroadcastTestSender::freePortPair();
    // A break of 3 s announced 1 s ahead (and sent again), and its end 1 s ahead;
    // a second later over SRT, whose listener waits for its caller to connect.
    const std::int64_t atMs = srt ? 1000 : 0;
    SpliceTestSender sender(port, srt ? 8.0 : 7.0,
                            {splice(1001, true, atMs + 1000, atMs + 2000, 3000),
                             splice(1001, true, atMs + 1500, atMs + 2000, 3000), splice(1001, false, atMs + 4000, atMs + 5000, 0)},
                            carrier.srtLatencyMs);
    if (srt) {
        sender.start();
        engine->putURL("srt://127.0.0.1:" + std::to_string(port));
    } else {
        engine->putURL("udp://127.0.0.1:" + std::to_string(port));
        ASSERT_TRUE(RunMainLoopUntil([&] { return BroadcastTestSender::portTaken(port); }, 20s));
        sender.start();
    }
    bool breakSeen = false;
    RunMainLoopUntil(
        [&] {
            const NetworkFigures f = engine->figures();
            breakSeen = breakSeen || f.splices.adBreak;
            return sender.splices().back().sent && f.splices.commands.size() >= 2
                && g_get_real_time() / 1000 > *sender.splices().back().spliceWallMs + carrier.srtLatencyMs + 500;
        },
        30s);
    const NetworkFigures end = engine->figures();
    const std::vector<SpliceTestSender::Splice> sent = sender.splices();
    ASSERT_EQ(end.splices.commands.size(), 2u) << "each splice once, the one sent again too";
    EXPECT_EQ(end.splices.errors, 0u);
    EXPECT_TRUE(breakSeen);
    EXPECT_FALSE(end.splices.adBreak) << "the break ended at the command back in";
    for (std::size_t i = 0; i < 2; ++i) {
        const SpliceCommand& got = end.splices.commands[i];
        const SpliceTestSender::Splice& want = sent[i == 0 ? 0 : 2];
        EXPECT_EQ(got.command, SpliceCommandType::SpliceInsert);
        EXPECT_EQ(got.source, SpliceSource::Ts);
        EXPECT_EQ(got.eventId, want.eventId);
        EXPECT_EQ(got.outOfNetwork, want.out);
        EXPECT_EQ(got.durationMs, want.out ? std::optional<std::int64_t>(want.durationMs) : std::nullopt);
        ASSERT_TRUE(got.spliceWallMs && want.spliceWallMs);
        const std::int64_t errorMs = *got.spliceWallMs - (*want.spliceWallMs + carrier.srtLatencyMs);
        std::cout << carrier.name << " splice " << i << ": time error " << errorMs << " ms, preroll "
                  << got.prerollMs.value_or(-1) << " ms (sender latency " << want.latencyMs << " ms)\n";
        EXPECT_LE(std::abs(errorMs), kFrameMs);
        // Heard after it was handed to the muxer, before its splice point.
        EXPECT_GT(got.prerollMs.value_or(0), 0);
        EXPECT_LE(got.prerollMs.value_or(0), want.spliceAtMs - want.sendAtMs + kFrameMs);
    }
    engine.reset();
    RunMainLoopFor(50ms);
}

INSTANTIATE_TEST_SUITE_P(Carriers, PlayerSpliceCarriers,
                         ::testing::Values(SpliceCarrier {"udp", 0}, SpliceCarrier {"srt", 200}),
                         [](const auto& info) { return std::string(info.param.name); });

namespace {

std::string hexOf(const std::vector<std::uint8_t>& bytes)
{
    std::string hex = "0x";
    for (const std::uint8_t b : bytes) {
        static constexpr char kDigits[] = "0123456789ABCDEF";
        hex += kDigits[b >> 4];
        hex += kDigits[b & 0x0F];
    }
    return hex;
}

std::string base64Of(const std::vector<std::uint8_t>& bytes)
{
    gchar* text = g_base64_encode(bytes.data(), bytes.size());
    std::string out(text);
    g_free(text);
    return out;
}

std::string readText(const std::filesystem::path& path)
{
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// What a manifest's splice should come to: dated as the manifest dates it, or
// by its segment (segmentDate, once the stream has been played).
struct Want {
    std::optional<std::uint32_t> eventId;
    bool out = true;
    std::optional<std::int64_t> durationMs;
    std::int64_t spliceWallMs = 0;
    int segment = -1;
};

// Plays url until `want` splices were heard (and a little more, for any heard
// twice), then holds each against its manifest's own figures.
void expectSplicesOnce(const std::string& url, SpliceSource source, std::vector<Want> want,
                       const std::function<std::int64_t(int)>& segmentDate = {})
{
    unsetenv("DISPLAY");
    gst_init(nullptr, nullptr);
    EventRecorder events;
    auto engine = std::make_unique<PlayerEngine>();
    engine->setFakeSinks(true);
    engine->setEventSink(&events);
    engine->putURL(url);
    RunMainLoopUntil([&] { return engine->figures().splices.commands.size() >= want.size(); }, 30s);
    RunMainLoopFor(1500ms);
    const NetworkFigures end = engine->figures();
    ASSERT_EQ(end.splices.commands.size(), want.size()) << "each splice once, however often its manifest came";
    EXPECT_EQ(end.splices.errors, 0u);
    for (Want& w : want) {
        if (w.segment >= 0)
            w.spliceWallMs = segmentDate(w.segment);
        const auto got = std::find_if(end.splices.commands.begin(), end.splices.commands.end(), [&](const auto& c) {
            return c.eventId == w.eventId && c.outOfNetwork == w.out && c.spliceWallMs
                && std::abs(*c.spliceWallMs - w.spliceWallMs) <= kFrameMs;
        });
        ASSERT_NE(got, end.splices.commands.end()) << "event " << w.eventId.value_or(0) << (w.out ? " out" : " in");
        std::cout << SpliceSourceName(source) << " splice " << w.eventId.value_or(0) << (w.out ? " out" : " in")
                  << ": time error " << *got->spliceWallMs - w.spliceWallMs << " ms\n";
        EXPECT_EQ(got->command, SpliceCommandType::SpliceInsert);
        EXPECT_EQ(got->source, source);
        EXPECT_EQ(got->durationMs, w.durationMs);
    }
    engine.reset();
    RunMainLoopFor(50ms);
}

constexpr std::int64_t kDayMs = 1767225600000; // 2026-01-01T00:00:00Z

} // namespace

// A playlist of 1-s segments with a break signalled twice: DATERANGEs with the
// sections of a splice_insert out and in, and CUE-OUT/CUE-IN by segment. As VOD,
// and live (fetched again each second, each segment stamped with the server's
// wall clock): the cues are dated by their segments.
TEST(PlayerSplice, HlsDateRangesAndCuesAreReportedOnceEachAtTheirDates)
{
    MediaFactory::Clip clip;
    clip.seconds = 5.0;
    const auto playlist = SharedMedia().makeHls("splice-hls", clip);
    std::istringstream lines(readText(playlist));
    std::string text, line;
    int segment = 0;
    while (std::getline(lines, line)) {
        if (line.rfind("#EXTINF", 0) == 0) {
            if (segment == 0)
                text += "#EXT-X-PROGRAM-DATE-TIME:2026-01-01T00:00:00.000Z\n";
            if (segment == 1)
                text += "#EXT-X-DATERANGE:ID=\"ad-7\",START-DATE=\"2026-01-01T00:00:01.000Z\",PLANNED-DURATION=2,"
                        "SCTE35-OUT=" + hexOf(spliceBytes(7, true)) + "\n#EXT-X-CUE-OUT:2\n";
            if (segment == 3)
                text += "#EXT-X-DATERANGE:ID=\"ad-7-in\",START-DATE=\"2026-01-01T00:00:03.000Z\",SCTE35-IN="
                    + hexOf(spliceBytes(7, false)) + "\n#EXT-X-CUE-IN\n";
            if (segment == 4)
                text += "#EXT-X-SCTE35:CUE=\"" + base64Of(spliceBytes(8, true)) + "\",ID=\"b8\"\n";
            ++segment;
        }
        text += line + "\n";
    }
    for (const bool live : {false, true}) {
        SCOPED_TRACE(live ? "live" : "VOD");
        const std::string path = live ? "splice-hls/live.m3u8" : "splice-hls/splices.m3u8";
        SharedMedia().write(path, text);
        HttpTestServer server(SharedMedia().dir());
        server.start();
        // Live, the segment at the live edge (the second of a window of two)
        // ends when the playlist is first asked for.
        const auto segmentDate = [&](int segment) -> std::int64_t {
            if (!live)
                return kDayMs + segment * 1000;
            const auto start = server.liveStart(path).time_since_epoch();
            return std::chrono::duration_cast<std::chrono::milliseconds>(start).count() + (segment - 2) * 1000;
        };
        expectSplicesOnce(server.url(path + (live ? "?live=2&pdt=1" : "")), SpliceSource::Hls,
                          {{7, true, 30000, kDayMs + 1000}, // the section's duration wins
                           {std::nullopt, true, 2000, 0, 1},
                           {7, false, std::nullopt, kDayMs + 3000},
                           {std::nullopt, false, std::nullopt, 0, 3},
                           {8, true, 30000, 0, 4}},
                          segmentDate);
    }
}

// An MPD with an EventStream of each scheme: the section as XML and as bytes.
TEST(PlayerSplice, DashEventStreamsOfEitherSchemeAreReportedOnceEachOnTheMpdClock)
{
    const auto manifest = SharedMedia().makeDashLadder("splice-dash", 6.0);
    std::string mpd = readText(manifest);
    mpd.insert(mpd.find("<MPD") + 4, " availabilityStartTime=\"2026-01-01T00:00:00Z\"");
    const std::string events
        = R"(<EventStream schemeIdUri="urn:scte:scte35:2013:xml" timescale="1000">)"
          R"(<Event id="1" presentationTime="1500" duration="2000"><SpliceInfoSection xmlns="urn:scte:scte35:2013:xml">)"
          R"(<SpliceInsert spliceEventId="21" outOfNetworkIndicator="true"/></SpliceInfoSection></Event>)"
          R"(<Event id="2" presentationTime="3500"><SpliceInfoSection xmlns="urn:scte:scte35:2013:xml">)"
          R"(<SpliceInsert spliceEventId="21" outOfNetworkIndicator="false"/></SpliceInfoSection></Event></EventStream>)"
          R"(<EventStream schemeIdUri="urn:scte:scte35:2014:xml+bin" timescale="90000">)"
          R"(<Event id="3" presentationTime="360000"><Signal xmlns="urn:scte:scte35:2013:xml"><Binary>)"
        + base64Of(spliceBytes(7, true)) + "</Binary></Signal></Event></EventStream>";
    const std::size_t period = mpd.find("<Period");
    ASSERT_NE(period, std::string::npos);
    mpd.insert(mpd.find('>', period) + 1, events);
    SharedMedia().write("splice-dash/splices.mpd", mpd);
    HttpTestServer server(SharedMedia().dir());
    server.start();
    expectSplicesOnce(server.url("splice-dash/splices.mpd"), SpliceSource::Dash,
                      {{21, true, 2000, kDayMs + 1500}, // the Event's duration: the section has none
                       {21, false, std::nullopt, kDayMs + 3500},
                       {7, true, 30000, kDayMs + 4000}});
}

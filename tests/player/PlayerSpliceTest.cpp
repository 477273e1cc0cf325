#include "PlayerTestEnvironment.h"

#include "BroadcastTestSender.h"
#include "EventRecorder.h"
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

// A splice_insert out of the network as GStreamer's section library writes it: its bytes.
std::vector<std::uint8_t> spliceOutBytes()
{
    gst_mpegts_initialize();
    GstMpegtsSCTESIT* sit = gst_mpegts_scte_splice_out_new(7, 2 * GST_SECOND, 30 * GST_SECOND);
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
    const std::vector<std::uint8_t> bytes = spliceOutBytes();
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

TEST(PlayerSplice, RawUdpSpliceInsertsAreReportedOnceEachAtTheirSplicePoints)
{
    unsetenv("DISPLAY");
    gst_init(nullptr, nullptr);
    EventRecorder events;
    auto engine = std::make_unique<PlayerEngine>();
    engine->setFakeSinks(true);
    engine->setEventSink(&events);
    const std::uint16_t port = BroadcastTestSender::freePortPair();
    engine->putURL("udp://127.0.0.1:" + std::to_string(port));
    ASSERT_TRUE(RunMainLoopUntil([&] { return BroadcastTestSender::portTaken(port); }, 20s));
    // A break of 3 s announced 1 s ahead (and sent again), and its end 1 s ahead.
    SpliceTestSender sender(port, 7.0,
                            {splice(1001, true, 1000, 2000, 3000), splice(1001, true, 1500, 2000, 3000),
                             splice(1001, false, 4000, 5000, 0)});
    sender.start();
    bool breakSeen = false;
    RunMainLoopUntil(
        [&] {
            const NetworkFigures f = engine->figures();
            breakSeen = breakSeen || f.splices.adBreak;
            return sender.splices().back().sent && f.splices.commands.size() >= 2
                && g_get_real_time() / 1000 > *sender.splices().back().spliceWallMs + 500;
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
        const std::int64_t errorMs = *got.spliceWallMs - *want.spliceWallMs;
        std::cout << "splice " << i << ": time error " << errorMs << " ms, preroll " << got.prerollMs.value_or(-1)
                  << " ms (sender latency " << want.latencyMs << " ms)\n";
        EXPECT_LE(std::abs(errorMs), kFrameMs);
        // Heard after it was handed to the muxer, before its splice point.
        EXPECT_GT(got.prerollMs.value_or(0), 0);
        EXPECT_LE(got.prerollMs.value_or(0), want.spliceAtMs - want.sendAtMs + kFrameMs);
    }
    engine.reset();
    RunMainLoopFor(50ms);
}

#include "PlayerTestEnvironment.h"

#include "DelayingTcpRelay.h"
#include "PlayState.h"
#include "PlayerSnapshot.h"
#include "RtspServerProcess.h"

#include <algorithm>
#include <cmath>
#include <iostream>
#include <optional>

using namespace zephyrscope;
using namespace zephyrscope::testing;
using namespace std::chrono_literals;

namespace {

class PlayerRtsp : public PlayerFixture {
protected:
    std::unique_ptr<RtspServerProcess> startServer(std::vector<std::string> arguments)
    {
        arguments.insert(arguments.end(), {"--timeout", "60"});
        return std::make_unique<RtspServerProcess>(ZEPHYRSCOPE_RTSP_SERVER, arguments);
    }

    struct Observed {
        std::int32_t received = 0, lost = 0, recovered = 0, quality = 0, frameRate = 0, bitRate = 0;
        std::string protocol;
    };

    // Plays the stream to its end, reading the statistics while it plays and
    // once more at MediaEnded, the last moment the entry's figures are live.
    Observed playToEnd(const std::string& url, Observed& whilePlaying)
    {
        Observed atEnd;
        events.onEvent = [&](const std::string& event) {
            if (event == "play 8")
                atEnd = read();
        };
        player->putURL(url);
        EXPECT_TRUE(waitForState(kPlayStatePlaying, 20s)) << events.sequence();
        RunMainLoopFor(1500ms);
        whilePlaying = read();
        EXPECT_TRUE(waitForState(kPlayStateReady, 30s)) << events.sequence();
        events.onEvent = nullptr;
        return atEnd;
    }

    Observed read()
    {
        auto net = player->network();
        Observed o;
        o.received = net->receivedPackets();
        o.lost = net->lostPackets();
        o.recovered = net->recoveredPackets();
        o.quality = net->receptionQuality();
        o.frameRate = net->frameRate();
        o.bitRate = net->bitRate();
        o.protocol = net->sourceProtocol();
        return o;
    }
};

} // namespace

TEST_F(PlayerRtsp, StreamOverUdpPlaysToTheEndAsRtspu)
{
    auto server = startServer({"--seconds", "4"});
    Observed playing;
    const Observed end = playToEnd(server->url("rtsp"), playing);
    const auto stats = server->finish();
    // The jitter buffer fills its latency before the first picture: Buffering.
    EXPECT_EQ(events.sequence(), "9 open 6 3 8 10");
    EXPECT_EQ(player->network()->bufferingCount(), 1);
    EXPECT_EQ(playing.protocol, "RTSPU");
    EXPECT_EQ(playing.quality, 100);
    EXPECT_GT(playing.bitRate, 0);
    EXPECT_NEAR(playing.frameRate, 2500, 50);
    EXPECT_EQ(end.lost, 0);
    EXPECT_NEAR(end.received, static_cast<double>(stats.sent), 1.0);
    auto media = player->currentMedia();
    EXPECT_EQ(media->imageSourceWidth(), 320);
    EXPECT_EQ(media->imageSourceHeight(), 240);
    EXPECT_EQ(media->duration(), 0.0);
    EXPECT_EQ(media->durationString(), "00:00");
    EXPECT_EQ(media->name(), "clip");
}

TEST_F(PlayerRtsp, StreamOverTcpReportsRtspt)
{
    auto server = startServer({"--seconds", "3"});
    Observed playing;
    const Observed end = playToEnd(server->url("rtspt"), playing);
    EXPECT_EQ(playing.protocol, "RTSPT");
    EXPECT_EQ(end.lost, 0);
    EXPECT_GT(end.received, 0);
    EXPECT_EQ(events.sequence(), "9 open 6 3 8 10");
}

TEST_F(PlayerRtsp, ExplicitUdpSchemeReportsRtspu)
{
    auto server = startServer({"--seconds", "3"});
    Observed playing;
    playToEnd(server->url("rtspu"), playing);
    EXPECT_EQ(playing.protocol, "RTSPU");
}

TEST_F(PlayerRtsp, DroppedPacketsAreCountedAsLost)
{
    auto server = startServer({"--seconds", "4", "--drop-every", "20"});
    Observed playing;
    const Observed end = playToEnd(server->url("rtsp"), playing);
    const auto stats = server->finish();
    ASSERT_GT(stats.dropped, 0u);
    EXPECT_NEAR(end.lost, static_cast<double>(stats.dropped), 1.0);
    EXPECT_NEAR(end.received, static_cast<double>(stats.sent - stats.dropped), 1.0);
    EXPECT_LT(end.quality, 100);
    EXPECT_GT(end.quality, 90);
}

TEST_F(PlayerRtsp, HeldUdpSessionCountsWhatTheServersRelayPassedOn)
{
    // Snow at 600 kbit/s through 300 kbit/s behind a 150-ms queue, 50 ms late:
    // the queue overflows all along, and what it keeps comes within the jitter buffer.
    auto server = startServer({"--seconds", "4", "--picture", "snow", "--bitrate", "600", "--hold-rate", "300000",
                               "--hold-queue-ms", "150", "--hold-delay", "50"});
    Observed playing;
    const Observed end = playToEnd(server->url("rtspu"), playing);
    const auto stats = server->finish();
    EXPECT_EQ(playing.protocol, "RTSPU");
    ASSERT_EQ(stats.relayCount("sessions"), 1);
    EXPECT_EQ(stats.relayCount("in"), static_cast<std::int64_t>(stats.sent));
    ASSERT_GT(stats.relayCount("capped"), 0);
    EXPECT_EQ(stats.relayCount("dropped"), stats.relayCount("capped"));
    // The server's BYE comes right behind the last frame's packets: rtspsrc may end the stream before them.
    EXPECT_NEAR(end.received, static_cast<double>(stats.relayCount("forwarded")),
                static_cast<double>(std::max<std::int64_t>(1, stats.relayCount("last-frame"))));
    EXPECT_NEAR(end.lost, static_cast<double>(stats.relayCount("never-forwarded")), 1.0);
    EXPECT_EQ(end.recovered, 0);
    // Every packet passed on waited the delay, and at most the queue's time and its own more
    // (1200 bytes at 300 kbit/s: 32 ms).
    EXPECT_GE(stats.relayCount("least-hold-us"), 50000);
    EXPECT_LE(stats.relayCount("most-hold-us"), 50000 + 150000 + 32000 + 1000);
    // The sender's reports reached the player through the relay.
    EXPECT_GT(stats.relayCount("rtcp-down"), 0);
    std::cout << "held RTSP session: sent=" << stats.sent << " forwarded=" << stats.relayCount("forwarded")
              << " capped=" << stats.relayCount("capped") << " received=" << end.received << " lost=" << end.lost
              << '\n';
}

TEST_F(PlayerRtsp, HoldLeavesASessionOverTcpAlone)
{
    auto server = startServer({"--seconds", "3", "--hold-rate", "300000"});
    Observed playing;
    const Observed end = playToEnd(server->url("rtspt"), playing);
    const auto stats = server->finish();
    EXPECT_EQ(stats.relayCount("sessions"), 0);
    EXPECT_EQ(end.lost, 0);
    EXPECT_NEAR(end.received, static_cast<double>(stats.sent), 1.0);
}

namespace {

// rtspsrc's jitter buffer holds each packet this long (its default latency).
constexpr double kJitterBufferMs = 2000.0;

class PlayerRtspLatency : public PlayerRtsp {
protected:
    // Plays url until the sender's wall clock reaches the frames (the first RTCP
    // sender report) and the latency has settled, then takes the median of the
    // settled readings. The server queues the frames from its answer to DESCRIBE
    // until PLAY comes (two round trips, SETUP's and PLAY's: 2 s through the
    // relay), and they are shown that much later until the jitter buffer has
    // caught up with them, some 2 s of readings as steady as the settled ones.
    // The server's first sender report, sent amid that queue, can also put its
    // NTP time tens of ms off its RTP time; the next one, at most 6.2 s later
    // (RTCP's interval of 5 s times 0.5 to 1.5, over e - 3/2), corrects it for
    // the frames after it, a jitter buffer's latency on. So the readings of the
    // first kStartReadings count for nothing, and the figure has settled when
    // two consecutive stretches longer than the queue's agree: each within
    // kBandMs, their medians too. Between them the jitter buffer's clock-skew
    // estimate may still move the figure by a ms or so a second.
    std::optional<double> settledLatency(const std::string& url)
    {
        constexpr std::size_t kStretch = 25; // readings 100 ms apart
        constexpr std::size_t kStartReadings = 85;
        constexpr double kBandMs = 5.0;
        player->putURL(url);
        EXPECT_TRUE(waitForState(kPlayStatePlaying, 20s)) << events.sequence();
        std::vector<double> readings;
        const auto median = [](std::vector<double>::const_iterator from, std::vector<double>::const_iterator to) {
            std::vector<double> sorted(from, to);
            std::sort(sorted.begin(), sorted.end());
            return sorted[sorted.size() / 2];
        };
        const auto settled = [&] {
            if (readings.size() < kStartReadings + 2 * kStretch)
                return false;
            const auto first = readings.end() - 2 * kStretch, second = readings.end() - kStretch;
            const auto [low1, high1] = std::minmax_element(first, second);
            const auto [low2, high2] = std::minmax_element(second, readings.end());
            return *high1 - *low1 <= kBandMs && *high2 - *low2 <= kBandMs
                && std::abs(median(first, second) - median(second, readings.end())) <= kBandMs;
        };
        // RTCP sender reports come every few seconds, the first after a random share of that.
        for (int i = 0; i < 400 && !settled(); ++i) {
            RunMainLoopFor(100ms);
            if (const NetworkFigures figures = SnapshotOf(*player); figures.liveLatencyMs)
                readings.push_back(*figures.liveLatencyMs);
        }
        // A live pipeline is Playing before its jitter buffer lets the first frame through.
        EXPECT_GT(SnapshotOf(*player).firstFrameWallMs, 0);
        player->controls()->stop();
        const bool isSettled = settled();
        std::cout << url << ": " << readings.size() << " latency readings, settled " << isSettled;
        if (!readings.empty())
            std::cout << ", first " << readings.front() << " ms, highest "
                      << *std::max_element(readings.begin(), readings.end()) << " ms";
        std::cout << '\n';
        if (!isSettled)
            return std::nullopt;
        return median(readings.end() - 2 * kStretch, readings.end());
    }
};

} // namespace

TEST_F(PlayerRtspLatency, LatencyIsTheJitterBufferAndGrowsByADelayOnThePath)
{
    auto server = startServer({"--seconds", "100"});
    const std::optional<double> direct = settledLatency(server->url("rtspt"));
    DelayingTcpRelay relay(static_cast<std::uint16_t>(server->port()), 500ms, 60s);
    const std::optional<double> delayed =
        settledLatency("rtspt://127.0.0.1:" + std::to_string(relay.port()) + "/clip");
    ASSERT_TRUE(direct);
    ASSERT_TRUE(delayed);
    // The truth is what the relay really held the bytes, not the delay it was asked for.
    const double held = relay.meanHoldMs();
    std::cout << "RTSP latency direct=" << *direct << " ms, through a relay holding " << held
              << " ms=" << *delayed << " ms, difference " << *delayed - *direct << " ms\n";
    EXPECT_NEAR(*direct, kJitterBufferMs, 100.0);
    EXPECT_NEAR(held, 500.0, 30.0);
    EXPECT_NEAR(*delayed - *direct, held, 30.0);
}

TEST_F(PlayerRtspLatency, AFileHasNoLatency)
{
    player->putURL(Clip25());
    ASSERT_TRUE(waitForState(kPlayStatePlaying));
    RunMainLoopFor(500ms);
    const NetworkFigures figures = SnapshotOf(*player);
    EXPECT_FALSE(figures.liveLatencyMs);
    EXPECT_GT(figures.firstFrameWallMs, 0);
}

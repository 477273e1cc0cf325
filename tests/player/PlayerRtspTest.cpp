#include "PlayerTestEnvironment.h"

#include "DelayingTcpRelay.h"
#include "PlayState.h"
#include "RtspServerProcess.h"

#include <algorithm>
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
    // settled readings. A start on a loaded host can latch the jitter buffer late;
    // its clock-skew estimate then pulls the latency back over a few seconds.
    std::optional<double> settledLatency(const std::string& url)
    {
        constexpr std::size_t kSettled = 20; // readings 100 ms apart within kBandMs
        constexpr double kBandMs = 5.0;
        player->putURL(url);
        EXPECT_TRUE(waitForState(kPlayStatePlaying, 20s)) << events.sequence();
        std::vector<double> readings;
        const auto settled = [&] {
            if (readings.size() < kSettled)
                return false;
            const auto [low, high] = std::minmax_element(readings.end() - kSettled, readings.end());
            return *high - *low <= kBandMs;
        };
        // RTCP sender reports come every few seconds, the first after a random share of that.
        for (int i = 0; i < 400 && !settled(); ++i) {
            RunMainLoopFor(100ms);
            if (const NetworkFigures figures = player->network()->figures(); figures.liveLatencyMs)
                readings.push_back(*figures.liveLatencyMs);
        }
        // A live pipeline is Playing before its jitter buffer lets the first frame through.
        EXPECT_GT(player->network()->figures().firstFrameWallMs, 0);
        player->controls()->stop();
        std::cout << url << ": " << readings.size() << " latency readings, settled " << settled() << '\n';
        if (!settled())
            return std::nullopt;
        std::vector<double> last(readings.end() - kSettled, readings.end());
        std::sort(last.begin(), last.end());
        return last[kSettled / 2];
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
              << " ms=" << *delayed << " ms\n";
    EXPECT_NEAR(*direct, kJitterBufferMs, 100.0);
    EXPECT_NEAR(held, 500.0, 30.0);
    EXPECT_NEAR(*delayed - *direct, held, 30.0);
}

TEST_F(PlayerRtspLatency, AFileHasNoLatency)
{
    player->putURL(Clip25());
    ASSERT_TRUE(waitForState(kPlayStatePlaying));
    RunMainLoopFor(500ms);
    const NetworkFigures figures = player->network()->figures();
    EXPECT_FALSE(figures.liveLatencyMs);
    EXPECT_GT(figures.firstFrameWallMs, 0);
}

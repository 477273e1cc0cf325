#include "PlayerTestEnvironment.h"

#include "PlayState.h"
#include "PlayerSnapshot.h"
#include "SrtTestSender.h"
#include "UdpRelay.h"

#include <sstream>

using namespace zephyrscope;
using namespace zephyrscope::testing;
using namespace std::chrono_literals;

namespace {

class PlayerSrt : public PlayerFixture {
protected:
    struct Observed {
        std::int32_t received = 0, lost = 0, recovered = 0, quality = 0, bitRate = 0, frameRate = 0;
        std::int32_t bufferingCount = 0, latencyMs = 0;
        double rttMs = 0.0;
        std::string protocol;
    };

    Observed read()
    {
        auto net = player->network();
        Observed o;
        o.received = net->receivedPackets();
        o.lost = net->lostPackets();
        o.recovered = net->recoveredPackets();
        o.quality = net->receptionQuality();
        o.bitRate = net->bitRate();
        o.frameRate = net->frameRate();
        o.bufferingCount = net->bufferingCount();
        o.protocol = net->sourceProtocol();
        const NetworkFigures figures = SnapshotOf(*player);
        o.rttMs = figures.srtRoundTripMs;
        o.latencyMs = figures.srtReceiverLatencyMs;
        return o;
    }

    // The figures beside the relay's counts, shown with any check that fails.
    static std::string describe(const std::string& label, const Observed& o, const UdpRelay::Counts& relay)
    {
        std::ostringstream out;
        out << label << ": protocol=" << o.protocol << " received=" << o.received << " lost=" << o.lost
                  << " recovered=" << o.recovered << " quality=" << o.quality << " bitRate=" << o.bitRate
                  << " rtt=" << o.rttMs << "ms latency=" << o.latencyMs << "ms"
                  << " | relay originals=" << relay.originals << " dropped=" << relay.dropped
                  << " retransmitted=" << relay.retransmitted << " blackedOut=" << relay.blackedOut
                  << " neverForwarded=" << relay.neverForwarded << " repaired=" << relay.repaired
                  << " retransmissionsDropped=" << relay.retransmissionsDropped
                  << " impairedLost=" << relay.impaired.lost;
        return out.str();
    }

    // The packet counts now, checked against the highest read before: none of them falls.
    void expectCountsNeverFall()
    {
        const Observed now = read();
        EXPECT_GE(now.received, highest.received);
        EXPECT_GE(now.lost, highest.lost);
        EXPECT_GE(now.recovered, highest.recovered);
        highest.received = std::max(highest.received, now.received);
        highest.lost = std::max(highest.lost, now.lost);
        highest.recovered = std::max(highest.recovered, now.recovered);
    }

    // Waits until the packets received stop growing for a second: the sender's stream is over.
    // Every packet count read on the way is checked never to fall.
    void waitForStreamEnd()
    {
        std::int32_t last = -1;
        auto since = std::chrono::steady_clock::now();
        RunMainLoopUntil(
            [&] {
                expectCountsNeverFall();
                const std::int32_t now = player->network()->receivedPackets();
                if (now != last) {
                    last = now;
                    since = std::chrono::steady_clock::now();
                }
                return std::chrono::steady_clock::now() - since > 1s;
            },
            30s);
    }

    // The bit rate the relay passed on over about one second, counted as srtsrc
    // counts it: each data packet's UDP payload plus its IPv4 and UDP headers.
    double relayBitRate(UdpRelay& relay)
    {
        const auto before = relay.counts();
        const auto start = std::chrono::steady_clock::now();
        RunMainLoopFor(1000ms);
        const auto after = relay.counts();
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        const double bytes = static_cast<double>(after.dataBytes - before.dataBytes)
            + 28.0 * static_cast<double>(after.dataPackets - before.dataPackets);
        return bytes * 8.0 / seconds;
    }

    Observed highest;
};

} // namespace

TEST_F(PlayerSrt, PacketsDroppedOnceAreRecoveredAndNoneLost)
{
    // The sender asks for more latency than the player's default 125 ms: the
    // receiver's negotiated latency is the larger of the two.
    constexpr int kSenderLatencyMs = 400;
    SrtTestSender sender(6.0, kSenderLatencyMs);
    sender.start();
    UdpRelay relay(sender.port(), 25);
    player->putURL("srt://127.0.0.1:" + std::to_string(relay.port()));
    ASSERT_TRUE(waitForState(kPlayStatePlaying, 20s)) << events.sequence();
    RunMainLoopFor(1000ms);
    const double truthBitRate = relayBitRate(relay);
    const Observed playing = read();
    waitForStreamEnd();
    const Observed end = read();
    const auto counts = relay.counts();
    SCOPED_TRACE(describe("SRT 1-in-25 playing", playing, counts));
    SCOPED_TRACE(describe("SRT 1-in-25 at end", end, counts));
    RecordProperty("figures", describe("SRT 1-in-25 at end", end, counts));

    EXPECT_EQ(playing.protocol, "SRT");
    EXPECT_EQ(events.sequence().rfind("9 open 6 3", 0), 0u) << events.sequence();
    ASSERT_GT(counts.dropped, 10u);
    EXPECT_EQ(end.recovered, static_cast<std::int32_t>(counts.repaired));
    EXPECT_EQ(counts.repaired, counts.dropped);
    EXPECT_EQ(end.lost, 0);
    EXPECT_EQ(counts.neverForwarded, 0u);
    // The MPEG-TS inside shows no gap either.
    const NetworkFigures figures = SnapshotOf(*player);
    EXPECT_TRUE(figures.transportStream);
    EXPECT_EQ(figures.transportErrors.continuity, 0u);
    // Every first transmission was delivered, the dropped ones by retransmission.
    EXPECT_NEAR(end.received, static_cast<double>(counts.originals), 1.0);
    EXPECT_EQ(end.quality, 100);
    EXPECT_NEAR(playing.bitRate, truthBitRate, truthBitRate * 0.15);
    EXPECT_EQ(playing.latencyMs, kSenderLatencyMs);
    // Measured over loopback and a relay in this process: above 0, and far below
    // the 100 ms SRT assumes before it has measured anything.
    EXPECT_GT(playing.rttMs, 0.0);
    EXPECT_LT(playing.rttMs, 50.0);
}

// 2 % of the first transmissions lost at random, the same ones every run: SRT
// repairs each, and what the player counts as recovered is what the relay lost.
TEST_F(PlayerSrt, RandomLossIsRecoveredPacketForPacketAndNoneLost)
{
    zephyrscope::tools::impair::Impairment::Params impairment;
    impairment.loss.kind = zephyrscope::tools::impair::LossModel::Kind::Random;
    impairment.loss.rate = 0.02;
    impairment.loss.seed = 4242;
    SrtTestSender sender(6.0, 400);
    sender.start();
    UdpRelay relay(sender.port(), 0, std::chrono::seconds(120), impairment);
    player->putURL("srt://127.0.0.1:" + std::to_string(relay.port()));
    ASSERT_TRUE(waitForState(kPlayStatePlaying, 20s)) << events.sequence();
    waitForStreamEnd();
    const Observed end = read();
    const auto counts = relay.counts();
    SCOPED_TRACE(describe("SRT 2 % random loss", end, counts));
    RecordProperty("figures", describe("SRT 2 % random loss", end, counts));

    ASSERT_GT(counts.impaired.lost, 5u);
    EXPECT_EQ(counts.dropped, counts.impaired.lost);
    EXPECT_EQ(counts.impaired.seen, counts.originals);
    EXPECT_EQ(counts.repaired, counts.dropped);
    EXPECT_EQ(end.recovered, static_cast<std::int32_t>(counts.repaired));
    EXPECT_EQ(end.lost, 0);
    EXPECT_EQ(counts.neverForwarded, 0u);
}

// Every copy of every packet whose sequence number 30 divides is dropped, and of
// the connection's first three, which leave no gap in what is delivered: no
// retransmission repairs them, and nothing is counted as recovered, at any time.
TEST_F(PlayerSrt, LossNoRetransmissionRepairsIsLostAndNeverRecovered)
{
    SrtTestSender sender(10.0);
    sender.start();
    UdpRelay relay(sender.port(), 0);
    relay.dropEveryCopyOfSequencesDividedBy(30);
    relay.dropEveryCopyOfTheFirst(3);
    player->putURL("srt://127.0.0.1:" + std::to_string(relay.port()));
    ASSERT_TRUE(RunMainLoopUntil(
        [&] {
            expectCountsNeverFall();
            return events.count("play " + std::to_string(kPlayStatePlaying)) >= 1;
        },
        20s))
        << events.sequence();
    waitForStreamEnd();
    // The last gaps' fate is settled after the receiver's latency.
    RunMainLoopUntil(
        [&] {
            expectCountsNeverFall();
            return false;
        },
        2000ms);
    const Observed end = read();
    const auto counts = relay.counts();
    SCOPED_TRACE(describe("SRT every copy of seq % 30", end, counts));
    RecordProperty("figures", describe("SRT every copy of seq % 30", end, counts));

    ASSERT_GT(counts.dropped, 10u);
    EXPECT_EQ(counts.repaired, 0u);
    EXPECT_EQ(end.lost, static_cast<std::int32_t>(counts.neverForwarded));
    EXPECT_EQ(highest.recovered, 0);
    EXPECT_EQ(end.recovered, 0);
    EXPECT_EQ(end.received, static_cast<std::int32_t>(counts.originals - counts.dropped));
    EXPECT_LT(end.quality, 100);
}

TEST_F(PlayerSrt, BlackoutLongerThanTheLatencyLosesWhatNeverArrived)
{
    SrtTestSender sender(9.0);
    sender.start();
    UdpRelay relay(sender.port(), 0);
    player->putURL("srt://127.0.0.1:" + std::to_string(relay.port()));
    ASSERT_TRUE(waitForState(kPlayStatePlaying, 20s)) << events.sequence();
    // The sender keeps its own pace whatever the player does, so the blackout is
    // placed by what the relay has passed (about 1.5 s of the stream), not by the
    // player's start, which a loaded machine can put near the stream's end.
    RunMainLoopUntil([&] { return relay.counts().originals >= 160; }, 10s);
    const std::uint64_t beforeBlackout = relay.counts().originals;
    ASSERT_LT(beforeBlackout, 500u) << "the player took until packet " << beforeBlackout << " to play";
    relay.blackout(2000ms);
    waitForStreamEnd();
    RunMainLoopFor(3000ms);
    waitForStreamEnd();
    const Observed end = read();
    const auto counts = relay.counts();
    SCOPED_TRACE(describe("SRT 2-s blackout at end", end, counts));

    ASSERT_GT(counts.blackedOut, 0u);
    EXPECT_GT(end.lost, 0);
    EXPECT_NEAR(end.lost, static_cast<double>(counts.neverForwarded), 1.0);
    // What retransmission brought in after the blackout was recovered; every
    // first transmission was either delivered or lost.
    EXPECT_NEAR(end.recovered, static_cast<double>(counts.retransmitted), 1.0);
    EXPECT_NEAR(end.received + end.lost, static_cast<double>(counts.originals), 1.0);
    EXPECT_LT(end.quality, 100);
    // What never arrived shows in the MPEG-TS inside as continuity errors.
    EXPECT_GT(SnapshotOf(*player).transportErrors.continuity, 0u);
}

TEST_F(PlayerSrt, SenderThatStopsSendingShowsBufferingThenFailsWithNoData)
{
    // The no-data timeout shortened to 3 s.
    player->setNoDataTimeout(3000);

    SrtTestSender sender(60.0);
    sender.start();
    player->putURL(sender.url());
    ASSERT_TRUE(waitForState(kPlayStatePlaying, 20s)) << events.sequence();
    RunMainLoopFor(1000ms);
    const std::int32_t stallsBefore = player->network()->bufferingCount();
    sender.pause();
    // Buffering within 2 s of the last packet, counted as a stall.
    EXPECT_TRUE(waitForEvent("play 6", 2, 2000ms)) << events.sequence();
    EXPECT_EQ(player->network()->bufferingCount(), stallsBefore + 1);
    EXPECT_EQ(player->network()->bufferingProgress(), 0);
    ASSERT_TRUE(waitForState(kPlayStateReady, 10s)) << events.sequence();
    EXPECT_EQ(events.sequence(), "9 open 6 3 6 error 10");
    ASSERT_EQ(events.errors.size(), 1u);
    EXPECT_EQ(events.errors[0], sender.url() + "|no data for 3 s");
    EXPECT_EQ(player->network()->bufferingCount(), stallsBefore + 1);
}

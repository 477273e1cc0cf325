#include "PlayerTestEnvironment.h"

#include "BroadcastTestSender.h"
#include "HttpTestServer.h"
#include "JsonLog.h"
#include "MemoryLog.h"
#include "PlayState.h"
#include "PlayerEngine.h"
#include "PlayerSnapshot.h"
#include "Protocol.h"
#include "SystemClock.h"
#include "TsDropRelay.h"
#include "LoopbackSockets.h"

#include <functional>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <map>
#include <sstream>
#include <vector>
#include <thread>

using namespace zephyrscope;
using namespace zephyrscope::testing;
using zephyrscope::tools::TsDropRelay;
using namespace std::chrono_literals;

namespace {

constexpr int kDropEvery = 40;
constexpr double kSendSeconds = 6.0;
constexpr double kLibRistSendSeconds = 10.0;

// The most frames the relay's drops can have damaged: from each frame that
// lost a packet to the next key frame it sent whole, as it counted them.
std::uint64_t damageBound(const TsDropRelay::Counts& relay)
{
    return relay.framesDamageBound;
}

class PlayerBroadcast : public EngineFixture<> {
protected:
    bool waitForEvent(const std::string& event, int occurrences = 1, std::chrono::milliseconds timeout = 20s)
    {
        return RunMainLoopUntil([&] { return events.count(event) >= occurrences; }, timeout);
    }

    // Waits until the packets received stop growing for 1.5 s: the sender's stream is over.
    // Every packet count read on the way is checked never to fall.
    void waitForStreamEnd()
    {
        std::int32_t last = -1;
        auto since = std::chrono::steady_clock::now();
        RunMainLoopUntil(
            [&] {
                expectCountsNeverFall();
                const std::int32_t now = engine->figures().receivedPackets;
                if (now != last) {
                    last = now;
                    since = std::chrono::steady_clock::now();
                }
                return std::chrono::steady_clock::now() - since > 1500ms;
            },
            30s);
    }

    // The packet counts now, checked against the highest read before: none of them falls.
    void expectCountsNeverFall()
    {
        const NetworkFigures now = engine->figures();
        EXPECT_GE(now.receivedPackets, highest.receivedPackets);
        EXPECT_GE(now.lostPackets, highest.lostPackets);
        EXPECT_GE(now.recoveredPackets, highest.recoveredPackets);
        highest.receivedPackets = std::max(highest.receivedPackets, now.receivedPackets);
        highest.lostPackets = std::max(highest.lostPackets, now.lostPackets);
        highest.recoveredPackets = std::max(highest.recoveredPackets, now.recoveredPackets);
        if (!firstPacketsUs && now.receivedPackets > 0)
            firstPacketsUs = g_get_monotonic_time();
        if (!firstFrameUs && now.firstFrameWallMs > 0)
            firstFrameUs = g_get_monotonic_time();
    }

    // The figures beside the relay's counts, shown with any check that fails.
    static std::string describe(const std::string& label, const NetworkFigures& f, const TsDropRelay::Counts& relay)
    {
        const TsErrorCounts& e = f.transportErrors;
        std::ostringstream out;
        out << label << ": protocol=" << columnOf(f.protocol) << " received=" << f.receivedPackets
                  << " lost=" << f.lostPackets << " recovered=" << f.recoveredPackets
                  << " quality=" << f.receptionQuality << " ristRtt=" << f.ristRoundTripMs << "ms"
                  << " startup=" << f.startupMs << "ms"
                  << " | ts errors sync-loss=" << e.syncLoss << " sync-byte=" << e.syncByte << " pat=" << e.pat
                  << " cc=" << e.continuity << " pmt=" << e.pmt << " pid=" << e.pid
                  << " | relay datagrams=" << relay.originals << " dropped=" << relay.dropped
                  << " trailing=" << relay.trailingDrops << " retransmitted=" << relay.retransmitted
                  << " ts-dropped=" << relay.tsPacketsDropped << " ts-shown-missing=" << relay.tsPacketsShownMissing
                  << " gaps=" << relay.continuityGaps
                  << " forwarded=" << relay.forwarded << " repaired=" << relay.repaired
                  << " never-forwarded=" << relay.neverForwarded << " repaired-late=" << relay.repairedLate
                  << " repaired-before-gap-ended=" << relay.repairedBeforeGapEnded
                  << " repairs-refused=" << relay.repairsRefused << " retransmissions-dropped=" << relay.retransmissionsDropped
                  << " | impaired lost=" << relay.impaired.lost << " swallowed=" << relay.impaired.swallowed
                  << " capped=" << relay.impaired.capped << " held=" << relay.impaired.held
                  << " delayed=" << relay.impaired.delayed << " | damaged frames=" << f.damagedFrames
                  << " (" << f.damagedMs << " ms, at most " << damageBound(relay) << " of " << relay.videoFrames
                  << " sent, " << relay.keyFrames << " key)";
        return out.str();
    }

    // RIST's packet figures against the relay's: a repair that left later than
    // ristsrc's buffer after its original never reached the player in time, so
    // its packet is lost, not received or recovered; one that left before its
    // run of drops ended was asked for before the loss was known, and may or
    // may not be taken.
    static void expectRistPacketCounts(const NetworkFigures& f, const TsDropRelay::Counts& relay)
    {
        const auto late = static_cast<double>(relay.repairedLate);
        const auto early = static_cast<double>(relay.repairedBeforeGapEnded);
        EXPECT_NEAR(f.recoveredPackets, static_cast<double>(relay.repaired) - late, early);
        EXPECT_NEAR(f.lostPackets, static_cast<double>(relay.neverForwarded) + late, early);
        EXPECT_NEAR(f.receivedPackets, static_cast<double>(relay.forwarded) - late, early);
    }

    // Relays a sender's stream to url's port through a relay dropping every
    // kDropEvery-th datagram, plays it to its end; the figures at the end.
    NetworkFigures playThroughRelay(BroadcastTestSender::Transport transport, const TsDropRelay::Options& options,
                                    const std::string& url, TsDropRelay::Counts& counts,
                                    double seconds = kSendSeconds, int keyFrameInterval = 25)
    {
        TsDropRelay relay(options);
        engine->putURL(url);
        // What is sent before the player listens, it cannot see.
        EXPECT_TRUE(RunMainLoopUntil([&] { return BroadcastTestSender::portTaken(options.targetPort); }, 20s));
        BroadcastTestSender sender(transport, "127.0.0.1", relay.port(), seconds, keyFrameInterval);
        sender.start();
        EXPECT_TRUE(RunMainLoopUntil(
            [&] {
                expectCountsNeverFall();
                return events.count("play 3") >= 1;
            },
            20s))
            << events.sequence();
        waitForStreamEnd();
        counts = relay.counts();
        return engine->figures();
    }

    NetworkFigures highest;
    // When the first packet was counted, and the first frame seen (monotonic us); 0 before.
    std::int64_t firstPacketsUs = 0;
    std::int64_t firstFrameUs = 0;
};

TsDropRelay::Options relayOptions(std::uint16_t targetPort, TsDropRelay::Framing framing = TsDropRelay::Framing::Ts,
                                  bool rtcp = false)
{
    TsDropRelay::Options options;
    options.targetPort = targetPort;
    options.dropEvery = kDropEvery;
    options.framing = framing;
    options.rtcp = rtcp;
    // RIST: ristsrc's buffer (its default, which the player keeps).
    if (rtcp)
        options.repairDeadline = std::chrono::milliseconds(1000);
    return options;
}

std::string loopbackUrl(const char* scheme, std::uint16_t port)
{
    return std::string(scheme) + "://127.0.0.1:" + std::to_string(port);
}

// Whether a datagram sent to group on loopback comes back to a socket that
// joined it there; the reason when it does not.
std::string multicastOnLoopbackProblem(const char* group, std::uint16_t port)
{
    const int receiver = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    const int reuse = 1;
    setsockopt(receiver, SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof reuse);
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    inet_pton(AF_INET, group, &address.sin_addr);
    ip_mreq membership {};
    membership.imr_multiaddr = address.sin_addr;
    membership.imr_interface.s_addr = htonl(INADDR_LOOPBACK);
    std::string problem;
    if (bind(receiver, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
        problem = "cannot bind the group's port";
    else if (setsockopt(receiver, IPPROTO_IP, IP_ADD_MEMBERSHIP, &membership, sizeof membership) != 0)
        problem = "cannot join a multicast group on the loopback interface";
    if (problem.empty()) {
        const int sender = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        in_addr loopback {};
        loopback.s_addr = htonl(INADDR_LOOPBACK);
        setsockopt(sender, IPPROTO_IP, IP_MULTICAST_IF, &loopback, sizeof loopback);
        sendto(sender, "x", 1, 0, reinterpret_cast<sockaddr*>(&address), sizeof address);
        close(sender);
        pollfd fd {receiver, POLLIN, 0};
        if (poll(&fd, 1, 1000) <= 0)
            problem = "a datagram sent to a multicast group on loopback does not come back";
    }
    close(receiver);
    return problem;
}

// Runs a pipeline that writes a file to its end (bounded).
void makeFile(const std::string& launch)
{
    GError* error = nullptr;
    GstElement* pipeline = gst_parse_launch(launch.c_str(), &error);
    const std::string problem = error ? error->message : "";
    g_clear_error(&error);
    if (pipeline && !problem.empty())
        gst_object_unref(pipeline);
    ASSERT_TRUE(pipeline && problem.empty()) << "Cannot make pipeline '" << launch << "': " << problem;
    gst_element_set_state(pipeline, GST_STATE_PLAYING);
    GstBus* bus = gst_element_get_bus(pipeline);
    GstMessage* message = gst_bus_timed_pop_filtered(bus, 60 * GST_SECOND,
                                                     static_cast<GstMessageType>(GST_MESSAGE_EOS | GST_MESSAGE_ERROR));
    const bool ended = message && GST_MESSAGE_TYPE(message) == GST_MESSAGE_EOS;
    if (message)
        gst_message_unref(message);
    gst_object_unref(bus);
    gst_element_set_state(pipeline, GST_STATE_NULL);
    gst_object_unref(pipeline);
    ASSERT_TRUE(ended) << "Cannot make file with '" << launch << "'";
}

} // namespace

TEST_F(PlayerBroadcast, RawUdpLossIsWhatTheContinuityCountersShowOfTheRelaysDrops)
{
    const std::uint16_t port = BroadcastTestSender::freePortPair();
    const TsDropRelay::Options options = relayOptions(port);
    TsDropRelay::Counts relay;
    const NetworkFigures end = playThroughRelay(BroadcastTestSender::Transport::Udp, options,
                                                loopbackUrl("udp", port), relay);
    SCOPED_TRACE(describe("UDP 1-in-40", end, relay));
    RecordProperty("figures", describe("UDP 1-in-40", end, relay));

    EXPECT_EQ(columnOf(end.protocol), "UDP");
    ASSERT_GT(relay.dropped, 10u);
    // What the continuity counters of what passed show of what was dropped, as the relay counted it.
    EXPECT_EQ(end.lostPackets, static_cast<std::int32_t>(relay.tsPacketsShownMissing));
    // What was dropped after the last datagram that passed, no receiver can see; no run reached 16.
    EXPECT_LE(relay.tsPacketsShownMissing, relay.tsPacketsDropped - relay.trailingTsPackets);
    EXPECT_GT(relay.tsPacketsShownMissing, 0u);
    // One datagram at a time is no gap in the data: the estimate is the counters' count.
    ASSERT_TRUE(end.lostEstimate.has_value());
    EXPECT_EQ(*end.lostEstimate, end.lostPackets) << "data gaps: " << end.dataGaps.value_or(-1);
    EXPECT_EQ(end.transportErrors.continuity, relay.continuityGapsShown);
    // Seven TS packets a datagram.
    EXPECT_EQ(end.receivedPackets, static_cast<std::int32_t>(7 * (relay.originals - relay.dropped)));
    EXPECT_LT(end.receptionQuality, 100);
    EXPECT_GT(end.receptionQuality, 90);
    EXPECT_EQ(end.transportErrors.syncLoss + end.transportErrors.syncByte, 0u);
    EXPECT_EQ(end.transportErrors.pmt + end.transportErrors.pid, 0u);
    // The frames the demuxer threw away for a lost packet leave those after them damaged.
    EXPECT_GT(end.damagedFrames, 0);
    EXPECT_LE(static_cast<std::uint64_t>(end.damagedFrames), damageBound(relay));
    EXPECT_GT(end.damagedMs, 0);
}

TEST_F(PlayerBroadcast, RawUdpRandomLossIsWhatTheRelayNeverForwarded)
{
    // 2 % of the datagrams lost at random, the same ones every run, and the rest
    // delayed 20 ms with 5 ms of jitter, in order, through the relay's timer queue.
    const std::uint16_t port = BroadcastTestSender::freePortPair();
    TsDropRelay::Options options = relayOptions(port);
    options.dropEvery = 0;
    options.impairment.loss.kind = zephyrscope::tools::impair::LossModel::Kind::Random;
    options.impairment.loss.rate = 0.02;
    options.impairment.loss.seed = 4242;
    options.impairment.delay.delayUs = 20000;
    options.impairment.delay.jitterUs = 5000;
    TsDropRelay::Counts relay;
    const NetworkFigures end = playThroughRelay(BroadcastTestSender::Transport::Udp, options,
                                                loopbackUrl("udp", port), relay);
    SCOPED_TRACE(describe("UDP 2 % random loss, 20 ms delay", end, relay));
    RecordProperty("figures", describe("UDP 2 % random loss, 20 ms delay", end, relay));

    EXPECT_EQ(columnOf(end.protocol), "UDP");
    ASSERT_GT(relay.impaired.lost, 5u);
    EXPECT_EQ(relay.dropped, relay.impaired.lost);
    EXPECT_EQ(relay.impaired.seen, relay.originals);
    EXPECT_EQ(relay.impaired.delayed, relay.originals - relay.dropped);
    EXPECT_EQ(relay.impaired.reordered, 0u);
    EXPECT_EQ(end.lostPackets, static_cast<std::int32_t>(relay.tsPacketsShownMissing));
    EXPECT_LE(relay.tsPacketsShownMissing, relay.tsPacketsDropped - relay.trailingTsPackets);
    EXPECT_EQ(end.receivedPackets, static_cast<std::int32_t>(7 * (relay.originals - relay.dropped)));
    EXPECT_EQ(end.transportErrors.syncLoss + end.transportErrors.syncByte, 0u);
}

TEST_F(PlayerBroadcast, RtpLossIsTheRelaysDroppedDatagramsExactly)
{
    const std::uint16_t port = BroadcastTestSender::freePortPair();
    const TsDropRelay::Options options = relayOptions(port, TsDropRelay::Framing::Rtp);
    TsDropRelay::Counts relay;
    const NetworkFigures end = playThroughRelay(BroadcastTestSender::Transport::Rtp, options,
                                                loopbackUrl("rtp", port), relay);
    SCOPED_TRACE(describe("RTP 1-in-40", end, relay));
    RecordProperty("figures", describe("RTP 1-in-40", end, relay));

    EXPECT_EQ(columnOf(end.protocol), "RTP");
    ASSERT_GT(relay.dropped, 10u);
    EXPECT_EQ(end.lostPackets, static_cast<std::int32_t>(relay.dropped - relay.trailingDrops));
    EXPECT_EQ(end.receivedPackets, static_cast<std::int32_t>(relay.originals - relay.dropped));
    EXPECT_EQ(end.recoveredPackets, 0);
    // The TS inside shows the same gaps as raw UDP would.
    EXPECT_EQ(end.transportErrors.continuity, relay.continuityGapsShown);
    EXPECT_LT(end.receptionQuality, 100);
    EXPECT_GT(end.damagedFrames, 0);
    EXPECT_LE(static_cast<std::uint64_t>(end.damagedFrames), damageBound(relay));
}

// One relayed stream, every 40th datagram dropped, played at once by a
// decoding probe and by a probe of the transport alone (the relay sends each
// datagram it passes on to both): the loss and the stream errors are the
// relay's, the same in both. The transport probe's frame rate, from the access
// units' own timestamps, is the sender's 25 fps wherever no unit is missing,
// and a missing unit is one whose start a dropped datagram took.
class PlayerTransportOnly : public PlayerBroadcast,
                            public ::testing::WithParamInterface<BroadcastTestSender::Transport> {};

TEST_P(PlayerTransportOnly, LossAndStreamErrorsAreTheDecodingProbesAndTheRelays)
{
    const bool rtp = GetParam() == BroadcastTestSender::Transport::Rtp;
    const char* scheme = rtp ? "rtp" : "udp";
    PlayerEngine transportEngine;
    EventRecorder transportEvents;
    transportEngine.setFakeSinks(true);
    transportEngine.setTransportOnly(true);
    transportEngine.setEventSink(&transportEvents);

    const std::uint16_t port = BroadcastTestSender::freePortPair();
    const std::uint16_t mirrorPort = BroadcastTestSender::freePortPair();
    TsDropRelay::Options options = relayOptions(port, rtp ? TsDropRelay::Framing::Rtp : TsDropRelay::Framing::Ts);
    options.mirrorPort = mirrorPort;
    TsDropRelay relay(options);
    engine->putURL(loopbackUrl(scheme, port));
    transportEngine.putURL(loopbackUrl(scheme, mirrorPort));
    ASSERT_TRUE(RunMainLoopUntil(
        [&] { return BroadcastTestSender::portTaken(port) && BroadcastTestSender::portTaken(mirrorPort); }, 20s));
    BroadcastTestSender sender(GetParam(), "127.0.0.1", relay.port(), kSendSeconds);
    sender.start();
    std::vector<std::int32_t> transportRates, decodingRates;
    std::int32_t last = -1;
    auto since = std::chrono::steady_clock::now();
    // To the stream's end: no packet for 1.5 s.
    RunMainLoopUntil(
        [&] {
            const NetworkFigures decoding = engine->figures(), transport = transportEngine.figures();
            if (decoding.frameRate > 0)
                decodingRates.push_back(decoding.frameRate);
            if (transport.frameRate > 0)
                transportRates.push_back(transport.frameRate);
            if (transport.receivedPackets != last) {
                last = transport.receivedPackets;
                since = std::chrono::steady_clock::now();
            }
            return last > 0 && std::chrono::steady_clock::now() - since > 1500ms;
        },
        30s);
    const TsDropRelay::Counts counts = relay.counts();
    const NetworkFigures decoding = engine->figures(), transport = transportEngine.figures();
    const auto median = [](std::vector<std::int32_t> rates) {
        if (rates.empty())
            return 0;
        std::nth_element(rates.begin(), rates.begin() + rates.size() / 2, rates.end());
        return rates[rates.size() / 2];
    };
    const auto highest = [](const std::vector<std::int32_t>& rates) {
        return rates.empty() ? 0 : *std::max_element(rates.begin(), rates.end());
    };
    const std::string label = rtp ? "RTP" : "UDP";
    const std::string figures = describe(label + " decoding", decoding, counts) + " frame-rate median/highest="
        + std::to_string(median(decodingRates)) + "/" + std::to_string(highest(decodingRates))
        + " skipped=" + std::to_string(decoding.framesSkipped) + "\n" + describe(label + " transport only", transport, counts)
        + " frame-rate median/highest=" + std::to_string(median(transportRates)) + "/"
        + std::to_string(highest(transportRates)) + " skipped=" + std::to_string(transport.framesSkipped);
    SCOPED_TRACE(figures);
    RecordProperty("figures", figures);
    std::cout << figures << "\n";

    EXPECT_TRUE(transportEvents.has("play 3")) << transportEvents.sequence();
    ASSERT_GT(counts.dropped, 10u);
    for (const NetworkFigures* run : {&decoding, &transport}) {
        SCOPED_TRACE(run == &transport ? "transport only" : "decoding");
        EXPECT_EQ(columnOf(run->protocol), rtp ? "RTP" : "UDP");
        EXPECT_EQ(run->transportErrors.continuity, counts.continuityGapsShown);
        if (rtp) {
            EXPECT_EQ(run->lostPackets, static_cast<std::int32_t>(counts.dropped - counts.trailingDrops));
        } else {
            EXPECT_EQ(run->lostPackets, static_cast<std::int32_t>(counts.tsPacketsShownMissing));
        }
        EXPECT_GT(run->startupMs, 0);
    }
    EXPECT_EQ(transport.lostPackets, decoding.lostPackets);
    EXPECT_EQ(transport.receivedPackets, decoding.receivedPackets);
    const TsErrorCounts& t = transport.transportErrors;
    const TsErrorCounts& d = decoding.transportErrors;
    EXPECT_EQ(t.continuity, d.continuity);
    EXPECT_EQ(t.syncLoss + t.syncByte + t.pat + t.pmt + t.pid, d.syncLoss + d.syncByte + d.pat + d.pmt + d.pid);
    EXPECT_TRUE(transport.transportOnly);
    EXPECT_FALSE(decoding.transportOnly);
    // On the stream's clock the rate is the sender's 25 fps, less the units
    // missing: a window with one missing reads 24 of 25, so over the stream the
    // rate falls by at most twice the share missing. The live sender stamps its
    // frames by its clock, which under load puts them up to a few ms off their
    // 40-ms grid: 2 % either way.
    const double sent = kSendSeconds * 25;
    EXPECT_LE(median(transportRates), 2550);
    EXPECT_GE(median(transportRates), 2500 * (1.0 - 2.0 * transport.framesSkipped / sent) - 50);
    EXPECT_EQ(transport.encodedFrameRate, 25);
    EXPECT_GT(transport.framesSkipped, 0);
    // A frame the demuxer or parser lost had a TS packet dropped; one datagram
    // may hold the end of one frame and the start of the next.
    std::uint64_t pesDamaged = 0;
    for (const auto& [pid, damaged] : counts.pesDamagedPerPid)
        pesDamaged += damaged;
    EXPECT_LE(transport.framesSkipped, static_cast<std::int32_t>(pesDamaged));
}

INSTANTIATE_TEST_SUITE_P(Transports, PlayerTransportOnly,
                         ::testing::Values(BroadcastTestSender::Transport::Udp, BroadcastTestSender::Transport::Rtp),
                         [](const ::testing::TestParamInfo<BroadcastTestSender::Transport>& info) {
                             return info.param == BroadcastTestSender::Transport::Rtp ? std::string("Rtp")
                                                                                      : std::string("Udp");
                         });

TEST_F(PlayerBroadcast, RistsinkRetransmissionsAreRecoveredAndWhatNeverCameIsLost)
{
    const std::uint16_t port = BroadcastTestSender::freePortPair();
    const TsDropRelay::Options options = relayOptions(port, TsDropRelay::Framing::Rtp, true);
    TsDropRelay::Counts relay;
    const NetworkFigures end = playThroughRelay(BroadcastTestSender::Transport::Rist, options,
                                                loopbackUrl("rist", port), relay);
    SCOPED_TRACE(describe("RIST 1-in-40", end, relay));
    RecordProperty("figures", describe("RIST 1-in-40", end, relay));

    EXPECT_EQ(columnOf(end.protocol), "RIST");
    ASSERT_GT(relay.dropped, 10u);
    ASSERT_GT(relay.repaired, 0u);
    // On a busy machine ristsink now and then answers a request too late or not
    // at all (1 of 13 in one run): what it never repaired is lost.
    expectRistPacketCounts(end, relay);
    if (relay.neverForwarded == 0) {
        EXPECT_EQ(end.transportErrors.continuity, 0u) << "every gap was filled in time";
        EXPECT_EQ(end.receptionQuality, 100);
    }
    EXPECT_GT(end.ristRoundTripMs, 0.0);
}

// librist's own sender, in its simple profile, starts its sequence numbers at
// 0. Through a relay that drops nothing, nothing is lost; what is recovered is
// what arrived by retransmission alone: librist sends a few packets (16 of 1044
// in one run) only as retransmissions, though the relay dropped none.
TEST_F(PlayerBroadcast, LibRistStreamWithNoLossLosesNothing)
{
    const std::uint16_t port = BroadcastTestSender::freePortPair();
    TsDropRelay::Options options = relayOptions(port, TsDropRelay::Framing::Rtp, true);
    options.dropEvery = 0;
    TsDropRelay::Counts relay;
    const NetworkFigures end = playThroughRelay(BroadcastTestSender::Transport::LibRist, options,
                                                loopbackUrl("rist", port), relay, kLibRistSendSeconds);
    SCOPED_TRACE(describe("librist no loss", end, relay));
    RecordProperty("figures", describe("librist no loss", end, relay));

    EXPECT_EQ(columnOf(end.protocol), "RIST");
    EXPECT_EQ(relay.neverForwarded, 0u);
    expectRistPacketCounts(end, relay);
    EXPECT_EQ(end.receptionQuality, 100);
    EXPECT_TRUE(end.transportStream);
    EXPECT_EQ(end.transportErrors.continuity, 0u);
    // Nothing lost, nothing for the decoder to repair.
    EXPECT_EQ(end.damagedFrames, 0);
    EXPECT_EQ(end.damagedMs, 0);
}

// The relay drops every copy of every 25th packet: no retransmission can
// repair them, and none is counted as repaired.
TEST_F(PlayerBroadcast, LibRistLossNoRetransmissionRepairsIsLostAndNeverRecovered)
{
    const std::uint16_t port = BroadcastTestSender::freePortPair();
    TsDropRelay::Options options = relayOptions(port, TsDropRelay::Framing::Rtp, true);
    options.dropEvery = 25;
    options.dropRetransmissions = true;
    TsDropRelay::Counts relay;
    const NetworkFigures end = playThroughRelay(BroadcastTestSender::Transport::LibRist, options,
                                                loopbackUrl("rist", port), relay, kLibRistSendSeconds);
    SCOPED_TRACE(describe("librist every copy of 1-in-25", end, relay));
    RecordProperty("figures", describe("librist every copy of 1-in-25", end, relay));

    EXPECT_EQ(columnOf(end.protocol), "RIST");
    ASSERT_GT(relay.dropped, 10u);
    // What was dropped after the last packet passed, no receiver can see. Of
    // what librist sends as retransmissions alone (about 1 % of its packets
    // here, 11 of 1,044; under the sanitizers on a busy machine 27), a copy may
    // never pass (a repair the receiver's RTP session refuses, or none sent):
    // one run of the sanitizers' suite had 39 never passed on of 38 dropped,
    // and the player's count agreed.
    EXPECT_GE(relay.neverForwarded, relay.dropped - relay.trailingDrops);
    // Nothing the relay dropped was repaired; anything recovered is what librist sent as a retransmission alone.
    expectRistPacketCounts(end, relay);
    EXPECT_LT(end.receptionQuality, 100);
}

// The relay drops the first copy of every 40th packet; the sender retransmits
// them. What arrived only by retransmission is what the player recovered, and
// what the relay never passed on is lost. Senders: librist's ristsender and
// ffmpeg's RIST output (librist inside), both in the simple profile. Key frames
// are 10 s apart, the first at the start: repairs pending must not cost the
// first picture (were it thrown away, the next would come 10 s later).
class PlayerRistSender : public PlayerBroadcast,
                         public ::testing::WithParamInterface<BroadcastTestSender::Transport> {};

TEST_P(PlayerRistSender, LossRetransmissionRepairsIsRecoveredAndNeverLost)
{
    const std::uint16_t port = BroadcastTestSender::freePortPair();
    const TsDropRelay::Options options = relayOptions(port, TsDropRelay::Framing::Rtp, true);
    TsDropRelay::Counts relay;
    const NetworkFigures end = playThroughRelay(GetParam(), options, loopbackUrl("rist", port), relay,
                                                kLibRistSendSeconds, 250);
    SCOPED_TRACE(describe("first copy of 1-in-40", end, relay));
    RecordProperty("figures", describe("first copy of 1-in-40", end, relay));

    EXPECT_EQ(columnOf(end.protocol), "RIST");
    ASSERT_GT(relay.dropped, 10u);
    ASSERT_GE(relay.repaired, relay.dropped - relay.trailingDrops - relay.neverForwarded);
    expectRistPacketCounts(end, relay);
    EXPECT_GT(end.startupMs, 0);
    ASSERT_GT(firstFrameUs, 0);
    RecordProperty("first_frame_after_first_data_ms", std::to_string((firstFrameUs - firstPacketsUs) / 1000));
    EXPECT_LT(firstFrameUs - firstPacketsUs, 3000000) << "the first picture, from the first data";
}

INSTANTIATE_TEST_SUITE_P(Senders, PlayerRistSender,
                         ::testing::Values(BroadcastTestSender::Transport::LibRist,
                                           BroadcastTestSender::Transport::FfmpegRist),
                         [](const ::testing::TestParamInfo<BroadcastTestSender::Transport>& info) {
                             return info.param == BroadcastTestSender::Transport::LibRist ? std::string("LibRist")
                                                                                          : std::string("Ffmpeg");
                         });

TEST_F(PlayerBroadcast, MulticastGroupJoinedOnLoopback)
{
    constexpr const char* kGroup = "239.255.42.99";
    const std::uint16_t port = BroadcastTestSender::freePortPair();
    if (const std::string problem = multicastOnLoopbackProblem(kGroup, port); !problem.empty())
        GTEST_SKIP() << "multicast on loopback is not available here: " << problem;
    TsDropRelay::Options options = relayOptions(port);
    options.targetHost = kGroup;
    TsDropRelay::Counts relay;
    const NetworkFigures end = playThroughRelay(
        BroadcastTestSender::Transport::Udp, options,
        "udp://" + std::string(kGroup) + ":" + std::to_string(port) + "?multicast-iface=lo", relay);
    SCOPED_TRACE(describe("UDP multicast 1-in-40", end, relay));

    EXPECT_EQ(columnOf(end.protocol), "UDP");
    ASSERT_GT(relay.dropped, 10u);
    EXPECT_EQ(end.lostPackets, static_cast<std::int32_t>(relay.tsPacketsShownMissing));
    EXPECT_LE(relay.tsPacketsShownMissing, relay.tsPacketsDropped - relay.trailingTsPackets);
    EXPECT_EQ(end.transportErrors.continuity, relay.continuityGapsShown);
}

TEST_F(PlayerBroadcast, SenderThatStopsShowsBufferingThenFailsWithNoData)
{
    // The no-data timeout shortened to 3 s.
    engine->setNoDataTimeout(3000);

    const std::uint16_t port = BroadcastTestSender::freePortPair();
    const std::string url = loopbackUrl("udp", port);
    engine->putURL(url);
    ASSERT_TRUE(RunMainLoopUntil([&] { return BroadcastTestSender::portTaken(port); }, 20s));
    BroadcastTestSender sender(BroadcastTestSender::Transport::Udp, "127.0.0.1", port, 60.0);
    sender.start();
    ASSERT_TRUE(waitForEvent("play 3", 1, 20s)) << events.sequence();
    RunMainLoopFor(1000ms);
    const std::int32_t stallsBefore = engine->figures().bufferingCount;
    sender.pause();
    // Buffering within 2 s of the last datagram, counted as a stall.
    EXPECT_TRUE(waitForEvent("play 6", 2, 2000ms)) << events.sequence();
    EXPECT_EQ(engine->figures().bufferingCount, stallsBefore + 1);
    ASSERT_TRUE(waitForEvent("play 10", 1, 10s)) << events.sequence();
    ASSERT_EQ(events.errors.size(), 1u);
    EXPECT_EQ(events.errors[0], url + "|no data for 3 s");
}

TEST_F(PlayerBroadcast, SenderThatNeverStartedFailsAfterTheOpenTimeoutNamingAddressAndPort)
{
    const std::uint16_t port = BroadcastTestSender::freePortPair();
    const std::string url = loopbackUrl("udp", port);
    // A short timeout: what is tested is the failure and its reason, not the 30-s default.
    engine->setOpenTimeout(3000);
    engine->putURL(url);
    ASSERT_TRUE(waitForEvent("error", 1, 15s)) << events.sequence();
    ASSERT_EQ(events.errors.size(), 1u);
    EXPECT_EQ(events.errors[0],
              url + "|timed out while opening: no data arrived on 127.0.0.1 port " + std::to_string(port));
}

// A real MPEG-TS file made here, then damaged: its PAT left out for 2.2 s, one
// sync byte wrong, two wrong in a row, and its audio PID stopping 8 s before
// the end. Played through, each first-priority error has its count.
TEST_F(PlayerBroadcast, DamagedTransportStreamFileGivesEachStreamErrorItsCount)
{
    const auto made = SharedMedia().dir() / "damaged-source.ts";
    ASSERT_NO_FATAL_FAILURE(makeFile("videotestsrc num-buffers=275 ! video/x-raw,format=I420,width=320,height=240,framerate=25/1"
                      " ! x264enc speed-preset=ultrafast key-int-max=25 ! h264parse ! queue ! mpegtsmux name=mux"
                      " ! filesink location=" + made.string()
                          + " audiotestsrc num-buffers=480 samplesperbuffer=1024 ! audio/x-raw,rate=44100"
                            " ! avenc_mp2 ! mpegaudioparse ! queue ! mux."));
    std::ifstream in(made, std::ios::binary);
    const std::vector<std::uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    ASSERT_EQ(bytes.size() % 188, 0u);
    std::vector<std::vector<std::uint8_t>> packets;
    for (std::size_t at = 0; at < bytes.size(); at += 188)
        packets.emplace_back(bytes.begin() + static_cast<std::ptrdiff_t>(at),
                             bytes.begin() + static_cast<std::ptrdiff_t>(at + 188));
    const auto pidOf = [](const std::vector<std::uint8_t>& p) { return ((p[1] & 0x1F) << 8) | p[2]; };
    const auto pcrUs = [](const std::vector<std::uint8_t>& p) -> std::optional<std::int64_t> {
        if (!(p[3] & 0x20) || p[4] < 7 || !(p[5] & 0x10))
            return std::nullopt;
        const std::uint64_t base = (std::uint64_t(p[6]) << 25) | (p[7] << 17) | (p[8] << 9) | (p[9] << 1) | (p[10] >> 7);
        return static_cast<std::int64_t>(base / 90 * 1000);
    };
    // The video PID carries the PCR; the audio PID is the other one with payload.
    int video = -1;
    std::map<int, int> payloadPackets;
    for (const auto& p : packets) {
        if (video < 0 && pcrUs(p))
            video = pidOf(p);
        if (p[3] & 0x10)
            ++payloadPackets[pidOf(p)];
    }
    int audio = -1;
    for (const auto& [pid, count] : payloadPackets) {
        if (pid >= 0x40 && pid != video && pid != 0x1FFF && count > 100)
            audio = pid;
    }
    ASSERT_GE(video, 0);
    ASSERT_GE(audio, 0);

    std::vector<std::vector<std::uint8_t>> damaged;
    std::optional<std::int64_t> first;
    std::int64_t now = 0;
    int patsLeftOut = 0;
    bool singleDone = false, doubleDone = false;
    for (std::size_t i = 0; i < packets.size(); ++i) {
        auto p = packets[i];
        const int pid = pidOf(p);
        if (const auto pcr = pid == video ? pcrUs(p) : std::nullopt) {
            first = first.value_or(*pcr);
            now = *pcr - *first;
        }
        if (pid == 0 && now > 2000000 && now <= 4200000) {
            ++patsLeftOut;
            continue;
        }
        if (pid == audio && now > 3000000)
            continue;
        if (pid == video && !singleDone && now > 5000000) {
            p[0] = 0x46;
            singleDone = true;
        }
        if (pid == video && !doubleDone && now > 6000000 && i + 1 < packets.size() && pidOf(packets[i + 1]) == video) {
            p[0] = 0x00;
            auto next = packets[++i];
            next[0] = 0x07;
            damaged.push_back(p);
            damaged.push_back(next);
            doubleDone = true;
            continue;
        }
        damaged.push_back(p);
    }
    ASSERT_TRUE(singleDone && doubleDone);
    ASSERT_GT(now, 10500000) << "the file runs to 11 s";
    const auto path = SharedMedia().dir() / "damaged.ts";
    {
        std::ofstream out(path, std::ios::binary);
        for (const auto& p : damaged)
            out.write(reinterpret_cast<const char*>(p.data()), static_cast<std::streamsize>(p.size()));
    }

    engine->putURL(path.string());
    ASSERT_TRUE(waitForEvent("play 8", 1, 40s)) << events.sequence();
    const TsErrorCounts errors = engine->figures().transportErrors;
    SCOPED_TRACE("PATs left out: " + std::to_string(patsLeftOut));
    // Sync: one wrong byte alone, then two in a row, which lose sync.
    EXPECT_EQ(errors.syncByte, 3u);
    EXPECT_EQ(errors.syncLoss, 1u);
    // PATs every 0.1 s, none for 2.2 s: overdue 4 times.
    EXPECT_EQ(errors.pat, 4u);
    EXPECT_EQ(errors.pmt, 0u);
    // Audio last seen at 3 s of an 11-s stream: missing once 5 s later.
    EXPECT_EQ(errors.pid, 1u);
    // The PAT's counter jumps where it comes back; the packet that lost sync is missing.
    EXPECT_EQ(errors.continuity, (patsLeftOut % 16 ? 1u : 0u) + 1u);
}

namespace {

// The player as the program drives it, with the JSON log the program keeps fed
// its events and a tick every 500 ms.
class PlayerBroadcastPause : public PlayerFixture {
protected:
    void SetUp() override
    {
        PlayerFixture::SetUp();
        json = std::make_unique<JsonLog>(clock, *player, lines);
        events.onEvent = [this](const std::string& event) {
            if (event.rfind("play ", 0) == 0)
                json->playStateChanged(std::stoi(event.substr(5)));
            else if (event == "open 13")
                json->mediaOpened();
        };
    }
    void TearDown() override
    {
        events.onEvent = nullptr;
        PlayerFixture::TearDown();
    }
    // Runs the main loop for duration, or until done, ticking the JSON log.
    bool runTicking(std::chrono::milliseconds duration, const std::function<bool()>& done = [] { return false; })
    {
        const auto end = std::chrono::steady_clock::now() + duration;
        while (std::chrono::steady_clock::now() < end) {
            if (RunMainLoopUntil(done, 500ms))
                return true;
            // The tick's sample: the player's snapshot, as the sampler takes it.
            player->snapshot(sample.network);
            json->tick(sample);
        }
        return false;
    }
    std::vector<std::string> jsonEvents(const std::string& name) const
    {
        std::vector<std::string> found;
        for (const std::string& line : lines.appends)
            if (line.find("\"event\":\"" + name + "\"") != std::string::npos)
                found.push_back(line);
        return found;
    }

    SystemClock clock;
    MemoryLog lines;
    std::unique_ptr<JsonLog> json;
    SampleLine sample;
};

} // namespace

// A raw UDP MPEG-TS stream whose relay passes nothing for exactly 2.0 s. UDP
// brings nothing back, so what the outage swallowed is gone, and the player's
// buffer is fixed by its pipeline. The truth is the relay's: a, when it passed
// the last datagram before the outage, b, the first after it (G = b - a, the
// 2.0 s to the sender's datagrams, which udpsink spreads over each frame).
//
// How long the picture stands still, worked out:
// - It plays on for the buffer B after a, then stops. B is the latency the
//   sink waits for (760 ms: tsdemux's 700 ms for live input and the decoder's
//   60 ms) plus two frame intervals: the frame the demuxer holds until the next
//   one begins, and the one after the last frame shown that the stall dates
//   from; and up to one more, as udpsink spreads a frame's datagrams over its
//   40 ms and a may fall anywhere among them. The stall starts at a + 840..880 ms.
// - No buffer fills an outage of a stream that sends nothing again: the frames
//   after it are due G after those before, so the stall is at least G (one
//   frame more when the outage cut the first frame after it short).
// - The frame the demuxer held comes out only when data comes back (a PES ends
//   where the next begins: with the next frame's first datagram, up to one frame
//   after b), late by J <= G - 840 + 40 ms. The sink drops it
//   (later than its duration plus 20 ms max-lateness), and its QoS makes the
//   decoder drop every frame due before that frame's time + 2 J + one frame
//   interval (GstVideoDecoder's rule), when the event reaches the decoder
//   before the first new frames: then the stall is 2 J + 40 ms, up to the
//   40-ms frame grid above it: 2440 to 2560 ms for G = 2040.
// So the stall lies between G and 2 (G - 800) + 80 ms, each ± 50 ms; which the
// decoder gives depends on when the QoS event reaches it. Measured over some 25
// runs, idle and beside two busy loops: with G = 2040, 2441 in most, 2521 in
// about a quarter, 2081 once; with G = 2080, 2481 and 2520.
TEST_F(PlayerBroadcastPause, PauseOfTwoSecondsIsOneStallFromTheBufferedPictureToTheFirstNewFrame)
{
    constexpr std::int64_t kBufferMs = 760 + 2 * 40;
    constexpr std::int64_t kFrameMs = 40;
    const std::uint16_t port = BroadcastTestSender::freePortPair();
    TsDropRelay::Options options;
    options.targetPort = port;
    TsDropRelay relay(options);
    player->putURL(loopbackUrl("udp", port));
    ASSERT_TRUE(RunMainLoopUntil([&] { return BroadcastTestSender::portTaken(port); }, 20s));
    // Every frame a key frame: the decoder waits for none after the outage.
    BroadcastTestSender sender(BroadcastTestSender::Transport::Udp, "127.0.0.1", relay.port(), 14.0, 1);
    sender.start();
    ASSERT_TRUE(waitForState(kPlayStatePlaying, 20s)) << events.sequence();
    runTicking(2000ms);
    const std::int32_t stallsBefore = player->network()->bufferingCount();
    relay.blackout(2000ms);
    EXPECT_TRUE(runTicking(8000ms, [&] { return SnapshotOf(*player).stallResumedWallMs > 0; }));
    runTicking(1500ms); // a second stall would show by now
    const NetworkFigures figures = SnapshotOf(*player);
    const TsDropRelay::Counts counts = relay.counts();
    const std::int64_t aMs = counts.blackoutFromWallUs / 1000, bMs = counts.blackoutToWallUs / 1000;
    const std::int64_t outageMs = bMs - aMs;
    const std::int64_t stallMs = figures.stallResumedWallMs - figures.stallSinceWallMs;
    const std::int64_t mostMs = 2 * (outageMs - kBufferMs + kFrameMs) + 2 * kFrameMs;
    std::ostringstream measured;
    measured << "outage " << outageMs << " ms, picture ran on " << figures.stallSinceWallMs - aMs << " ms, stall "
             << stallMs << " ms, expected " << outageMs << ".." << mostMs << " ms; data gaps "
             << figures.dataGaps.value_or(-1) << " of " << figures.dataGapMs.value_or(-1) << " ms, lost estimate "
             << figures.lostEstimate.value_or(-1) << " of " << counts.tsPacketsBlackedOut << " payload TS packets";
    SCOPED_TRACE(measured.str());
    RecordProperty("measured", measured.str());

    ASSERT_GT(counts.blackedOut, 0u);
    // The expectations below follow the outage the relay measured; a busy
    // machine's late sender or relay lengthens it, which only moves them.
    EXPECT_GE(outageMs, 2000);
    EXPECT_LE(outageMs, 2000 + 500);
    EXPECT_EQ(figures.stallsTimed, 1);
    EXPECT_EQ(player->network()->bufferingCount(), stallsBefore + 1);
    EXPECT_NEAR(static_cast<double>(figures.stallSinceWallMs - aMs), static_cast<double>(kBufferMs + kFrameMs / 2),
                kFrameMs / 2 + 10.0);
    EXPECT_GE(stallMs, outageMs - 50);
    EXPECT_LE(stallMs, mostMs + 50);
    // The outage as the data saw it, and what it swallowed, far past what the continuity counters count.
    // A busy sender's stalls of a few frames are gaps too, which lose nothing; the
    // arrival times are the player's, up to a busy streaming thread's delay.
    EXPECT_GE(figures.dataGaps.value_or(0), 1);
    EXPECT_GE(static_cast<double>(figures.dataGapMs.value_or(0)), outageMs * 0.9);
    const double swallowed = static_cast<double>(counts.tsPacketsBlackedOut);
    EXPECT_NEAR(static_cast<double>(figures.lostEstimate.value_or(0)), swallowed, swallowed * 0.1);
    // The JSON log: one stall, its times to the millisecond.
    const std::vector<std::string> started = jsonEvents("stall_started"), ended = jsonEvents("stall_ended");
    ASSERT_EQ(started.size(), 1u);
    ASSERT_EQ(ended.size(), 1u) << started[0];
    EXPECT_NE(started[0].find("\"since_wall_ms\":" + std::to_string(figures.stallSinceWallMs)), std::string::npos)
        << started[0];
    EXPECT_NE(ended[0].find("\"stall_ms\":" + std::to_string(stallMs) + ","), std::string::npos) << ended[0];
    EXPECT_NE(ended[0].find("\"resumed_wall_ms\":" + std::to_string(figures.stallResumedWallMs)), std::string::npos)
        << ended[0];
}

namespace {

// The same player and JSON log, over progressive HTTP.
using PlayerHttpPause = PlayerBroadcastPause;

std::int64_t wallMs(std::chrono::steady_clock::time_point t)
{
    const auto offset =
        std::chrono::system_clock::now().time_since_epoch() - std::chrono::steady_clock::now().time_since_epoch();
    return std::chrono::duration_cast<std::chrono::milliseconds>(t.time_since_epoch() + offset).count();
}

std::int64_t nowWallMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

} // namespace

// A clip over HTTP whose server pauses for exactly 2.0 s, where the player's
// buffer alone decides the stall. The clip is uncompressed video (every frame
// the same size, a Matroska cluster each, so bytes are media time exactly and
// the demuxer hands on each frame whole as it arrives).
//
// The buffer, as the player sets up playbin3 (buffer-duration 5 s): urisourcebin
// buffers the demuxed frames in a multiqueue of max-size-time 5 s, high
// watermark 60 % and low 1 %. Playing starts when it holds H = 3000 ms, and
// a buffering (the pipeline paused) starts when it holds less than L = 50 ms;
// decodebin3's own queue behind it stays full throughout and cancels out.
// A server pacing at the clip's rate keeps H ahead, which a 2.0-s pause never
// empties (no stall at all); so it sends a burst of 3.2 s, then half the
// clip's rate, which draws the buffer down by half a second each second played:
//   ahead when the pause begins (at a): A = H - (a - play) / 2
//   the picture stops, its held frame due, at a + A - L
//   the server resumes at b and rushes the rest: the buffer is back at H after
//   R (the server's time to send H of media after b), the pipeline plays, and
//   the frame the paused sink held shows one frame interval F later (the queue
//   let it go as the frame before it was shown).
//   stall = b + R + F - (a + A - L)
// The truth is the server's own times (a, b, R) and when the player began to
// play. The program pauses and plays again only as its main loop takes the
// buffering messages (its Buffering and Playing states): later than the buffer
// asks (a busy machine), the picture runs on, or stands, that much longer.
// Measured over 11 runs, idle and beside two busy loops: 781 to 803 ms, within
// 5 ms of the expected. Of some 25 earlier runs without the program's moments,
// one paused 165 ms late (busy loops) and one ran on 200 ms short, unexplained.
TEST_F(PlayerHttpPause, PauseOfTwoSecondsIsOneStallOfWhatTheBufferLeaves)
{
    constexpr int kFps = 25;
    constexpr double kSeconds = 14.0;
    constexpr std::int64_t kHighMs = 3000, kLowMs = 50, kFrameMs = 1000 / kFps;
    MediaFactory::Clip clip;
    clip.width = 160;
    clip.height = 120;
    clip.fps = kFps;
    clip.seconds = kSeconds;
    clip.uncompressed = true;
    clip.pattern = "snow";
    const std::filesystem::path file = SharedMedia().make("uncompressed.mkv", clip);
    const long long size = static_cast<long long>(std::filesystem::file_size(file));
    const double bytesPerMs = static_cast<double>(size) / (kSeconds * 1000);
    const long long burst = static_cast<long long>(bytesPerMs * 3200), pauseAt = static_cast<long long>(bytesPerMs * 5200);
    HttpTestServer server(SharedMedia().dir());
    server.start();
    // When the program acted on the buffer: played first, paused, played again.
    std::vector<std::int64_t> statesMs;
    const auto logEvent = events.onEvent;
    events.onEvent = [&](const std::string& event) {
        if ((event == "play 3") == (statesMs.size() % 2 == 0) && (event == "play 3" || event == "play 6"))
            statesMs.push_back(nowWallMs());
        logEvent(event);
    };
    player->putURL(server.url("uncompressed.mkv?rate=" + std::to_string(static_cast<long long>(bytesPerMs * 500))
                              + "&burst=" + std::to_string(burst) + "&stallAfter=" + std::to_string(pauseAt)
                              + "&stallMs=2000&rushAfterStall=1"));
    ASSERT_TRUE(waitForState(kPlayStatePlaying, 20s)) << events.sequence();
    EXPECT_TRUE(runTicking(15000ms, [&] { return SnapshotOf(*player).stallResumedWallMs > 0; }));
    runTicking(1500ms); // a second stall would show by now
    const NetworkFigures figures = SnapshotOf(*player);
    // The server's times: the last bytes before the pause, the first after, and
    // when it had sent H of media again.
    std::int64_t aMs = 0, bMs = 0, refilledMs = 0;
    long long total = 0;
    for (const HttpTestServer::Sent& sent : server.sentLog()) {
        const long long before = total;
        total += sent.bytes;
        if (total <= pauseAt)
            aMs = wallMs(sent.time);
        else if (before == pauseAt)
            bMs = wallMs(sent.time);
        if (before < pauseAt + bytesPerMs * kHighMs && total >= pauseAt + bytesPerMs * kHighMs)
            refilledMs = wallMs(sent.time);
    }
    ASSERT_GE(statesMs.size(), 3u) << events.sequence();
    const std::int64_t aheadMs = kHighMs - (aMs - statesMs[0]) / 2;
    // The program pauses and plays when its main loop takes the buffering
    // messages; when that is late, the picture runs on (or waits) as long.
    const std::int64_t pausedMs = std::max(aMs + aheadMs - kLowMs - kFrameMs, statesMs[1]);
    const std::int64_t stopMs = pausedMs + kFrameMs;
    const std::int64_t expectedMs = std::max(refilledMs, statesMs[2]) + kFrameMs - stopMs;
    const std::int64_t stallMs = figures.stallResumedWallMs - figures.stallSinceWallMs;
    std::ostringstream measured;
    measured << "pause " << bMs - aMs << " ms, ahead " << aheadMs << " ms, picture ran on "
             << figures.stallSinceWallMs - aMs << " ms (expected " << stopMs - aMs << "), refill " << refilledMs - bMs
             << " ms, stall " << stallMs << " ms (expected " << expectedMs << ")";
    measured << "; playing " << statesMs[0] - aMs << ", paused " << statesMs[1] - aMs << ", again "
             << statesMs[2] - aMs << " ms after the pause began";
    SCOPED_TRACE(measured.str());
    RecordProperty("measured", measured.str());

    ASSERT_GT(aMs, 0);
    ASSERT_GT(refilledMs, 0);
    EXPECT_NEAR(static_cast<double>(bMs - aMs), 2000.0, 10.0);
    EXPECT_EQ(figures.stallsTimed, 1);
    // Never before the buffer asks: the buffer's levels are those worked out.
    EXPECT_GE(statesMs[1], aMs + aheadMs - kLowMs - kFrameMs - 50);
    EXPECT_GE(statesMs[2], refilledMs - 50);
    EXPECT_NEAR(static_cast<double>(figures.stallSinceWallMs), static_cast<double>(stopMs), 50.0);
    EXPECT_NEAR(static_cast<double>(stallMs), static_cast<double>(expectedMs), 50.0);
    // The JSON log: that one stall, to the millisecond.
    const std::vector<std::string> started = jsonEvents("stall_started"), ended = jsonEvents("stall_ended");
    ASSERT_EQ(started.size(), 1u);
    ASSERT_EQ(ended.size(), 1u) << started[0];
    EXPECT_NE(ended[0].find("\"stall_ms\":" + std::to_string(stallMs) + ","), std::string::npos) << ended[0];
}

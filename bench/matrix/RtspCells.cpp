// RTSP over UDP cells: the RTSP test server (a child process) drops packets as
// they leave its payloader, at random, in bursts or in an outage, and counts
// what it sent and dropped. Delay and a rate cap it leaves to a relay in its
// own process (RtpSessionRelay), which it puts on the RTP and RTCP ports of the
// session the player sets up: the relay holds the packets (delay with jitter,
// in order; the cap's drop-tail queue) and counts by sequence number what it
// passed on, dropped and how long it held it.

#include "CellFigures.h"
#include "CellPlayer.h"
#include "MatrixProtocols.h"
#include "OutageResume.h"
#include "RtspServerProcess.h"

#include <algorithm>
#include <cstdio>
#include <exception>
#include <map>
#include <sstream>

namespace zephyrscope::bench {

namespace {

using namespace std::chrono_literals;
using testing::RtspServerProcess;

// rtspsrc's jitter buffer holds each packet this long (its default latency):
// on one host, from capture to display.
constexpr double kJitterBufferMs = 2000.0;
constexpr double kLatencyToleranceMs = 100.0;
// The relay's bottleneck queue under a rate cap: what the capped link sends in
// this time, so what waits in it still comes well within the jitter buffer.
constexpr double kCapQueueMs = 200.0;
// Under the cap the server sends above it, as the other senders do (snow at
// 1 Mbit/s): its usual ball needs so little of its 400 kbit/s that the cap
// would hardly touch it.
constexpr int kCapStreamKbps = 1000;

bool holds(const MatrixImpairment& impairment)
{
    const auto& p = impairment.params;
    return p.delay.delayUs > 0 || p.delay.jitterUs > 0 || p.rate.bitsPerSecond > 0;
}

// The server's options for an impairment; empty with a reason when it cannot apply it.
bool serverArguments(const MatrixImpairment& impairment, std::vector<std::string>& arguments, std::string& whyNot)
{
    const auto& p = impairment.params;
    if (impairment.lostWithRepairsEvery > 0) {
        whyNot = "not measured: the RTSP test server sends no repairs";
        return false;
    }
    impairment.appendDropArguments(arguments);
    char number[32];
    if (p.delay.delayUs > 0 || p.delay.jitterUs > 0) {
        std::snprintf(number, sizeof number, "%g", static_cast<double>(p.delay.delayUs) / 1000.0);
        arguments.insert(arguments.end(), {"--hold-delay", number});
        std::snprintf(number, sizeof number, "%g", static_cast<double>(p.delay.jitterUs) / 1000.0);
        arguments.insert(arguments.end(), {"--hold-jitter", number, "--hold-seed", std::to_string(p.delay.seed)});
    }
    if (p.rate.bitsPerSecond > 0) {
        std::snprintf(number, sizeof number, "%g", kCapQueueMs);
        arguments.insert(arguments.end(), {"--hold-rate", std::to_string(p.rate.bitsPerSecond), "--hold-queue-ms",
                                           number, "--bitrate", std::to_string(kCapStreamKbps),
                                           "--picture", "snow"});
    }
    return true;
}

void addHeldPacketFigures(MatrixCell& cell, const NetworkFigures& f, const RtspServerProcess::Stats& stats)
{
    // rtspsrc ends the stream on the sender's BYE, handled on a thread of its
    // own, and the BYE follows the last frame's packets as closely as the server
    // sent them (the relay keeps that spacing): those may come after the end.
    const auto lastFrame = static_cast<double>(std::max<std::int64_t>(1, stats.relayCount("last-frame")));
    std::ostringstream reason;
    reason << "RTP packets the relay passed on; " << lastFrame
           << " (the stream's last frame): the server's BYE follows them as closely as it sent them, and rtspsrc "
              "may end the stream on it before they are in";
    cell.figures.push_back(MatrixFigure::checked(kFigureReceived, f.receivedPackets,
                                                 static_cast<double>(stats.relayCount("forwarded")), 0.0, lastFrame,
                                                 reason.str()));
    cell.figures.push_back(MatrixFigure::checked(
        kFigureLost, f.lostPackets, static_cast<double>(stats.relayCount("never-forwarded")), 0.0, 1.0,
        "sequence numbers between the first and last the relay passed on that it never did (its queue's drops); "
        "one packet, as for received"));
    cell.figures.push_back(MatrixFigure::checked(kFigureRecovered, f.recoveredPackets, 0.0, 0.0, 0.0,
                                                 "the test server sends no repairs"));
}

// Capture to display: the jitter buffer's latency, after the packets' time in
// the relay. rtpjitterbuffer's clock-skew estimate follows the packets that
// came soonest in its last window, so the display keeps to somewhere between
// the least and the most the relay held a packet (a steady delay's low end, a
// full queue's wait).
void addLatency(MatrixCell& cell, double latencyMs, const RtspServerProcess::Stats& stats)
{
    if (stats.relay.empty()) {
        cell.figures.push_back(MatrixFigure::checked(
            kFigureLatencyMs, latencyMs, kJitterBufferMs, 0.0, kLatencyToleranceMs,
            "sender and player share this host's clock, so capture to display is rtspsrc's jitter buffer "
            "(2000 ms); 100 ms for the jitter buffer's clock-skew estimate settling (the median is shown)"));
        return;
    }
    const double leastHoldMs = static_cast<double>(stats.relayCount("least-hold-us")) / 1000.0;
    const double mostHoldMs = static_cast<double>(stats.relayCount("most-hold-us")) / 1000.0;
    std::ostringstream reason;
    reason << "sender and player share this host's clock, so capture to display is rtspsrc's jitter buffer "
              "(2000 ms) after between the least and the most the relay held a packet ("
           << leastHoldMs << " to " << mostHoldMs
           << " ms: the jitter buffer keeps to the soonest packets of its last window); 100 ms either side for "
              "its clock-skew estimate settling (the median is shown)";
    cell.figures.push_back(MatrixFigure::checked(kFigureLatencyMs, latencyMs,
                                                 kJitterBufferMs + (leastHoldMs + mostHoldMs) / 2.0, 0.0,
                                                 kLatencyToleranceMs + (mostHoldMs - leastHoldMs) / 2.0, reason.str()));
}

// What the drops nothing repairs leave on the picture, by the frames the server
// sent and dropped packets of (or its relay, under a hold): none without a
// frame hit; else at least one where a frame after a loss came whole, at most
// the frames from each loss to the next key frame sent whole.
void addDamagedFrames(MatrixCell& cell, const NetworkFigures& f, const std::map<std::string, std::int64_t>& frames)
{
    const auto count = [&](const char* name) {
        const auto found = frames.find(name);
        return found == frames.end() ? std::int64_t {0} : found->second;
    };
    const double shown = static_cast<double>(f.damagedFrames);
    const double bound = static_cast<double>(count("damage-bound"));
    const std::string counted = std::to_string(count("sent")) + " frames sent, " + std::to_string(count("key"))
        + " key frames";
    if (bound == 0.0) {
        cell.figures.push_back(MatrixFigure::checked(kFigureDamagedFrames, shown, 0.0, 0.0, 0.0,
                                                     "no frame lost a packet (" + counted + ")"));
        return;
    }
    cell.figures.push_back(MatrixFigure::bounded(
        kFigureDamagedFrames, shown, count("damaged-whole") > 0 ? 1.0 : 0.0, bound,
        "at most the frames from each loss to the next key frame sent whole, the frames hit included (" + counted
            + "; " + std::to_string(count("damaged-whole")) + " of them lost nothing themselves)"));
}

// The server's x264 stream numbers its frames modulo this many: its parameter
// sets travel in the SDP only (avdec_h264's log after a gap: "Frame num gap 1 15").
constexpr std::int64_t kFrameNumberCycle = 16;

// The server's frames about an outage's gap, for the picture after it.
OutageResume::Frames framesAboutGap(const std::map<std::string, std::int64_t>& frames)
{
    const auto count = [&](const char* name) {
        const auto found = frames.find(name);
        return found == frames.end() ? std::int64_t {-1} : found->second;
    };
    OutageResume::Frames f;
    f.cutToNext = count("cut-to-next");
    f.cutToKey = count("cut-to-key");
    f.shownSinceKey = count("shown-since-key");
    f.nextSinceKey = count("next-since-key");
    f.frameCycle = kFrameNumberCycle;
    f.frameMs = static_cast<double>(count("period-us")) / 1000.0;
    return f;
}

MatrixCell playRtspUdp(const MatrixImpairment& impairment)
{
    MatrixCell cell;
    cell.protocol = "RTSP/UDP";
    cell.impairment = impairment;
    const auto started = std::chrono::steady_clock::now();
    std::vector<std::string> arguments {"--seconds", std::to_string(MatrixImpairments::kStreamSeconds), "--timeout", "90"};
    std::string whyNot;
    if (!serverArguments(impairment, arguments, whyNot)) {
        CellFigures::markFailed(cell, whyNot, nullptr);
        return cell;
    }
    try {
        RtspServerProcess server(ZEPHYRSCOPE_RTSP_SERVER, arguments);
        CellPlayer player;
        player.open(server.url("rtspu"));
        if (!player.readUntil([&] { return player.hasFirstFrame(); }, 20s)) {
            CellFigures::markFailed(cell, "no first frame within 20 s", &player);
        } else {
            // To the stream's end (the entry ends with it), or until nothing more comes.
            player.readUntil([&] { return player.events().has("play 8"); },
                             std::chrono::milliseconds(static_cast<int>(MatrixImpairments::kStreamSeconds * 1000)) + 20s);
            cell.played = true;
        }
        player.stop();
        const RtspServerProcess::Stats stats = server.finish();
        std::ostringstream counts;
        counts << "sent=" << stats.sent << " dropped=" << stats.dropped << " trailing=" << stats.trailingDropped;
        for (const auto& [name, value] : stats.relay)
            counts << " relay-" << name << "=" << value;
        // After an outage: the server's gap in the data, and from its start to the first key frame sent whole.
        for (const char* name : {"gap-us", "key-after-gap-us", "cut-to-next", "shown-since-key", "next-since-key"})
            if (stats.frames.count(name))
                counts << " " << name << "=" << stats.frames.at(name);
        cell.relayCounts = counts.str();
        cell.notes = player.countsFell();
        if (cell.played && holds(impairment) && stats.relayCount("sessions") == 0) {
            CellFigures::markFailed(cell, "the server held no session: the player's SETUP asked for no UDP transport",
                                    &player);
        } else if (cell.played && holds(impairment)) {
            addHeldPacketFigures(cell, player.figures(), stats);
        } else if (cell.played) {
            const NetworkFigures& f = player.figures();
            cell.figures.push_back(MatrixFigure::checked(
                kFigureReceived, f.receivedPackets, static_cast<double>(stats.sent - stats.dropped), 0.0, 1.0,
                "RTP packets the server sent and did not drop; one packet: the stream's last may be in flight "
                "when the entry ends"));
            cell.figures.push_back(MatrixFigure::checked(
                kFigureLost, f.lostPackets, static_cast<double>(stats.dropped - stats.trailingDropped), 0.0, 1.0,
                "RTP packets the server dropped before its last one delivered; one packet, as for received"));
            cell.figures.push_back(MatrixFigure::checked(kFigureRecovered, f.recoveredPackets, 0.0, 0.0, 0.0,
                                                         "the test server sends no retransmissions"));
        }
        if (cell.played) {
            if (impairment.outageMs > 0) {
                const auto gap = stats.frames.find("gap-us");
                const double gapMs = gap == stats.frames.end() ? static_cast<double>(impairment.outageMs)
                                                              : static_cast<double>(gap->second) / 1000.0;
                CellFigures::addStalls(cell, player, OutageResume::stall(framesAboutGap(stats.frames), gapMs, "the server", 0));
            } else {
                CellFigures::addStalls(cell, player, std::nullopt);
            }
            CellFigures::addFirstFrame(cell, player);
            std::map<std::string, std::int64_t> frames = stats.frames;
            if (holds(impairment))
                for (const char* name : {"sent", "key", "damage-bound", "damaged-whole"})
                    frames[name] = stats.relayCount(std::string("frames-") + name);
            addDamagedFrames(cell, player.figures(), frames);
            if (const std::optional<double> latency = CellFigures::medianLatency(player))
                addLatency(cell, *latency, stats);
            else
                cell.figures.push_back(MatrixFigure::unjudged(
                    kFigureLatencyMs, std::nullopt, "no RTCP sender report reached the player while it played"));
        }
    } catch (const std::exception& e) {
        CellFigures::markFailed(cell, e.what(), nullptr);
    }
    cell.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    return cell;
}

} // namespace

std::vector<MatrixProtocol> rtspProtocols()
{
    return {{"RTSP/UDP", false, "cap-700k", playRtspUdp}};
}

} // namespace zephyrscope::bench

// WebRTC (WHEP) cells: the WHEP test server (a child process) drops video
// packets after its retransmission cache, at random, in bursts, every N-th with
// every repair of them, or everything during an outage, and counts what it
// sent, dropped and repaired. Delay and a rate cap are a MuxedRtpRelay's in
// this process, in the session's one path: the server's ICE agent takes one
// port, ignores the player's candidates and answers with the relay's address
// alone, so the player's checks, and then everything either way, go through
// the relay. The relay counts by SSRC and sequence number what it passed on
// and dropped, retransmissions too (which the server logs with the originals
// they carry, encrypted on the wire). Such a session starts about 2 s later
// than a direct one, delay or not: the server no longer checks the player's
// candidates itself, and the player nominates its pair through the relay only
// once its checks from its other addresses to the relay's loopback one have
// failed (the relay's log of a run: the first check answered at once, the
// nomination 2 s later); the first frame's truth is the harness's clock all
// the same. Each session ends by itself, so the counts and the player's last
// figures cover the same packets.

#include "CellFigures.h"
#include "CellPlayer.h"
#include "MatrixProtocols.h"
#include "MuxedRtpRelay.h"
#include "OutageResume.h"
#include "WhepServerProcess.h"

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <sstream>

namespace zephyrscope::bench {

namespace {

using namespace std::chrono_literals;
using testing::WhepServerProcess;
using tools::MuxedRtpRelay;

// The WHEP test server's streams.
constexpr std::uint32_t kVideoSsrc = 0x11223344;
constexpr std::uint32_t kAudioSsrc = 0x55667788;
// The relay's bottleneck queue under a rate cap: what the capped link sends in
// this time, well within the player's jitter buffer and retransmission time.
constexpr double kCapQueueMs = 200.0;
// How far ahead of a packet's arrival rtpjitterbuffer's timestamp for it may
// run before it resynchronises to the arrivals (a difference over a second).
constexpr double kTimestampLeadUs = 1000000.0;

bool holds(const MatrixImpairment& impairment)
{
    const auto& p = impairment.params;
    return p.delay.delayUs > 0 || p.delay.jitterUs > 0 || p.rate.bitsPerSecond > 0;
}

// What the relay's counts and the server's retransmission log say reached the
// player. A repair counts only where it came in time, and when that is the
// jitter buffer decides for itself: it gives a packet up once its next request
// would come too late for its latency, and the time between requests grows
// with the round trip it measures, a full queue's too. Its deadline is the
// packet's timestamp plus its latency, and that timestamp is the sender's
// clock fitted to the arrivals, which may run up to a second ahead of them
// before it starts over: while it fits a burst (the session's first packets
// come at once, a capped queue's later) a repair 1.5 s after its original
// still came in time. So what it recovered is known only to lie between none
// and the repairs the relay passed on within that second, the jitter buffer's
// latency and the most the relay held a packet after their original reached
// it: the truth is that range's middle, half of it allowed.
struct HeldTruth {
    double received = 0, lost = 0, recovered = 0;
    double band = 0; // half the repairs that may have come in time
    std::string counts;
};

HeldTruth heldTruth(const MuxedRtpRelay& relay, const WhepServerProcess& server, double jitterBufferMs)
{
    const MuxedRtpRelay::Counts c = relay.counts();
    const auto dropped = relay.droppedOriginals();
    const auto retransmissions = relay.forwardedRetransmissions();
    // Each repaired original and how long after it reached the relay its first repair left it.
    std::map<std::pair<std::uint32_t, std::uint16_t>, std::int64_t> repairAfterUs;
    for (const std::string& line : server.lines()) {
        unsigned long ssrc = 0;
        unsigned sequence = 0, original = 0;
        char id[64];
        if (std::sscanf(line.c_str(), "RTX %63s ssrc=%lu seq=%u osn=%u", id, &ssrc, &sequence, &original) != 4)
            continue;
        const auto sent = retransmissions.find({static_cast<std::uint32_t>(ssrc), static_cast<std::uint16_t>(sequence)});
        if (sent == retransmissions.end())
            continue;
        // Which stream it repairs: the one whose original the relay dropped (the
        // two streams' sequence numbers start far apart at random).
        for (const std::uint32_t media : {kVideoSsrc, kAudioSsrc}) {
            const auto stream = dropped.find(media);
            if (stream == dropped.end())
                continue;
            const auto lost = stream->second.find(static_cast<std::uint16_t>(original));
            if (lost == stream->second.end())
                continue;
            const std::int64_t afterUs = sent->second - lost->second;
            const auto key = std::pair {media, static_cast<std::uint16_t>(original)};
            const auto known = repairAfterUs.find(key);
            if (known == repairAfterUs.end() || afterUs < known->second)
                repairAfterUs[key] = afterUs;
            break;
        }
    }
    const double latestDeadlineUs = kTimestampLeadUs + jitterBufferMs * 1000.0 + static_cast<double>(c.mostHoldUs);
    std::uint64_t maybeInTime = 0, late = 0;
    for (const auto& [key, afterUs] : repairAfterUs)
        ++(static_cast<double>(afterUs) <= latestDeadlineUs ? maybeInTime : late);
    HeldTruth truth;
    std::ostringstream counts;
    double neverForwarded = 0;
    for (const auto& [ssrc, media] : c.media) {
        const char* name = ssrc == kVideoSsrc ? "video" : "audio";
        truth.received += static_cast<double>(media.forwarded);
        neverForwarded += static_cast<double>(media.neverForwarded);
        counts << name << "-originals=" << media.originals << " " << name << "-forwarded=" << media.forwarded << " "
               << name << "-dropped=" << media.dropped << " " << name << "-trailing=" << media.trailingDrops << " "
               << name << "-never-forwarded=" << media.neverForwarded << " ";
    }
    truth.recovered = static_cast<double>(maybeInTime) / 2.0;
    truth.band = static_cast<double>(maybeInTime) / 2.0;
    truth.received += truth.recovered;
    truth.lost = neverForwarded - truth.recovered;
    counts << "rtx-in=" << c.retransmissionsIn << " rtx-forwarded=" << c.retransmissionsForwarded
           << " rtx-dropped=" << c.retransmissionsDropped << " repaired-maybe-in-time=" << maybeInTime
           << " repaired-late=" << late << " capped=" << c.impaired.capped
           << " held=" << c.impaired.held << " delayed=" << c.impaired.delayed
           << " other-to-player=" << c.otherToReceiver << " to-server=" << c.toSender
           << " least-hold-us=" << c.leastHoldUs << " most-hold-us=" << c.mostHoldUs
           << " total-hold-us=" << c.totalHoldUs << " jitter-buffer-ms=" << jitterBufferMs;
    truth.counts = counts.str();
    return truth;
}

void appendServerArguments(const MatrixImpairment& impairment, std::vector<std::string>& arguments)
{
    impairment.appendDropArguments(arguments);
    if (impairment.lostWithRepairsEvery > 0)
        arguments.insert(arguments.end(),
                         {"--drop-every", std::to_string(impairment.lostWithRepairsEvery), "--drop-repairs"});
}

void addHeldPacketFigures(MatrixCell& cell, const NetworkFigures& f, const HeldTruth& truth)
{
    const std::string repairs = " a retransmission of which the relay passed on in time: by the server's log of "
                                "what each carries, between none and those within a second (how far the jitter "
                                "buffer's timestamps may run ahead of the arrivals), the jitter buffer's latency "
                                "and the most the relay held a packet after their original reached it (the jitter "
                                "buffer's own deadline shrinks as its measured round trip grows), the middle, half "
                                "the range allowed";
    cell.figures.push_back(MatrixFigure::checked(
        kFigureReceived, f.receivedPackets, truth.received, 0.0, 2.0 + truth.band,
        "video and audio packets the relay passed on, and those it dropped" + repairs
            + "; two packets for the streams' last, in flight when the session ended"));
    cell.figures.push_back(MatrixFigure::checked(
        kFigureLost, f.lostPackets, truth.lost, 0.0, 1.0 + truth.band,
        "sequence numbers between the first and last the relay passed on that it never did, less those" + repairs
            + "; one packet, as the WebRTC tests allow"));
    cell.figures.push_back(MatrixFigure::checked(
        kFigureRecovered, f.recoveredPackets, truth.recovered, 0.0, 1.0 + truth.band,
        "video and audio packets the relay dropped" + repairs + "; one packet, as the WebRTC tests allow"));
}

// The stall after the outage, by the server's GAP line: its gap and frames about it.
void addOutageStalls(MatrixCell& cell, const CellPlayer& player, const std::vector<std::string>& lines,
                     double outageMs)
{
    std::map<std::string, std::int64_t> fields;
    for (const std::string& line : lines) {
        if (line.rfind("GAP ", 0) != 0)
            continue;
        std::istringstream words(line);
        std::string word;
        while (words >> word) {
            const std::size_t equals = word.find('=');
            if (equals != std::string::npos)
                fields[word.substr(0, equals)] = std::strtoll(word.c_str() + equals + 1, nullptr, 10);
        }
    }
    const auto field = [&](const char* name) {
        const auto found = fields.find(name);
        return found == fields.end() ? std::int64_t {-1} : found->second;
    };
    OutageResume::Frames f;
    f.cutToNext = field("cut_to_next");
    f.cutToKey = field("cut_to_key");
    f.shownSinceKey = field("shown_since_key");
    f.nextSinceKey = field("next_since_key");
    f.frameCycle = field("frame_cycle");
    f.frameMs = static_cast<double>(field("period_us")) / 1000.0;
    const double gapMs = fields.count("gap_us") ? static_cast<double>(fields["gap_us"]) / 1000.0 : outageMs;
    CellFigures::addStalls(cell, player, OutageResume::stall(f, gapMs, "the server", 1));
}

MatrixCell playWhep(const MatrixImpairment& impairment)
{
    MatrixCell cell;
    cell.protocol = "WebRTC";
    cell.impairment = impairment;
    const auto started = std::chrono::steady_clock::now();
    std::vector<std::string> arguments {"--rtx", "--end-after", std::to_string(MatrixImpairments::kStreamSeconds),
                                        "--lifetime", "90"};
    appendServerArguments(impairment, arguments);
    try {
        std::unique_ptr<MuxedRtpRelay> relay;
        if (holds(impairment)) {
            MuxedRtpRelay::Options options;
            options.senderPort = MuxedRtpRelay::freeLoopbackPort();
            options.mediaSsrcs = {kVideoSsrc, kAudioSsrc};
            options.impairment = impairment.params;
            options.impairment.rate.queueBytes = static_cast<std::int64_t>(
                static_cast<double>(impairment.params.rate.bitsPerSecond) / 8.0 * kCapQueueMs / 1000.0);
            options.maxLifetime = 90s;
            relay = std::make_unique<MuxedRtpRelay>(options);
            arguments.insert(arguments.end(), {"--ice-port", std::to_string(options.senderPort), "--hold-port",
                                               std::to_string(relay->port())});
        }
        WhepServerProcess server(arguments);
        CellPlayer player;
        player.open(server.url());
        if (!player.readUntil([&] { return player.hasFirstFrame(); }, 20s)) {
            CellFigures::markFailed(cell, "no first frame within 20 s", &player);
        } else {
            // Until the server ends the session, then until the last packets are in.
            player.readUntil([&] { return server.waitForLine("END ", 1ms); },
                             std::chrono::milliseconds(static_cast<int>(MatrixImpairments::kStreamSeconds * 1000)) + 20s);
            player.readUntilPacketsStop(1500ms, 10s);
            cell.played = true;
        }
        player.stop();
        server.waitForLine("DELETE ", 5s);
        server.finish();
        if (relay)
            relay->stop();
        const WhepServerProcess::Counts c = server.lastCounts();
        std::ostringstream counts;
        counts << "video-sent=" << c.videoSent << " video-dropped=" << c.videoDropped
               << " video-repaired=" << c.videoRepaired << " rtx-sent=" << c.rtxSent << " rtx-dropped=" << c.rtxDropped
               << " audio-sent=" << c.audioSent << " audio-dropped=" << c.audioDropped
               << " audio-repaired=" << c.audioRepaired
               << " nacks-received=" << c.nacksReceived;
        // After an outage: the server's gap in the video, and from its start to the first key frame sent whole.
        for (const std::string& line : server.lines())
            if (line.rfind("GAP ", 0) == 0)
                counts << " " << line.substr(line.find(' ', 4) + 1);
        std::optional<HeldTruth> held;
        if (relay) {
            held = heldTruth(*relay, server, player.figures().webrtcJitterBufferMs);
            counts << " relay: " << held->counts;
        }
        cell.relayCounts = counts.str();
        cell.notes = player.countsFell();
        if (cell.played && held) {
            addHeldPacketFigures(cell, player.figures(), *held);
        } else if (cell.played) {
            const NetworkFigures& f = player.figures();
            const double repaired = static_cast<double>(c.videoRepaired + c.audioRepaired);
            const double lost = static_cast<double>(c.videoDropped + c.audioDropped) - repaired;
            cell.figures.push_back(MatrixFigure::checked(
                kFigureReceived, f.receivedPackets,
                static_cast<double>(c.videoSent + c.audioSent) - lost, 0.0, 2.0,
                "video and audio packets the server sent, less those it dropped and never repaired; two packets "
                "for the streams' last, in flight when the session ended"));
            cell.figures.push_back(MatrixFigure::checked(
                kFigureLost, f.lostPackets, lost, 0.0, 1.0,
                "video and audio packets the server dropped and sent no repair of; one packet, as the WebRTC "
                "tests allow"));
            cell.figures.push_back(MatrixFigure::checked(
                kFigureRecovered, f.recoveredPackets, repaired, 0.0, 1.0,
                "dropped video and audio packets a retransmission of which the server sent; one packet, as the "
                "WebRTC tests allow"));
        }
        if (cell.played) {
            if (impairment.outageMs > 0)
                addOutageStalls(cell, player, server.lines(), static_cast<double>(impairment.outageMs));
            else
                CellFigures::addStalls(cell, player, std::nullopt);
            CellFigures::addFirstFrame(cell, player);
            CellFigures::addNoLatency(cell, player, "WebRTC's streams carry no wall clock the player reads");
        }
    } catch (const std::exception& e) {
        CellFigures::markFailed(cell, e.what(), nullptr);
    }
    cell.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    return cell;
}

} // namespace

std::vector<MatrixProtocol> whepProtocols()
{
    return {{"WebRTC", true, "cap-700k", playWhep}};
}

} // namespace zephyrscope::bench

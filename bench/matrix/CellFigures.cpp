#include "CellFigures.h"

#include <algorithm>

namespace zephyrscope::bench {

void CellFigures::addStalls(MatrixCell& cell, const CellPlayer& player, std::optional<double> dataGapMs)
{
    const double stalls = player.resumedStalls();
    const double stallMs = static_cast<double>(player.stallMs());
    if (dataGapMs) {
        cell.figures.push_back(MatrixFigure::checked(kFigureStalls, stalls, 1.0, 0.0, 0.0,
                                                     "the relay's outage: one gap in the data"));
        cell.figures.push_back(MatrixFigure::checked(
            kFigureStallMs, stallMs, *dataGapMs, 0.0, kKeyFrameSlackMs,
            "the gap between the last datagram before the outage and the first after it; the picture waits for "
            "the next key frame (1 s apart) and a frame either side"));
        return;
    }
    cell.figures.push_back(MatrixFigure::checked(kFigureStalls, stalls, 0.0, 0.0, 0.0,
                                                 "the relay never stopped the data"));
    cell.figures.push_back(MatrixFigure::checked(kFigureStallMs, stallMs, 0.0, 0.0, 0.0,
                                                 "the relay never stopped the data"));
}

void CellFigures::addStalls(MatrixCell& cell, const CellPlayer& player, const StallTruth& truth)
{
    cell.figures.push_back(
        MatrixFigure::checked(kFigureStalls, player.resumedStalls(), truth.stalls, 0.0, 0.0, truth.why));
    cell.figures.push_back(MatrixFigure::checked(kFigureStallMs, static_cast<double>(player.stallMs()), truth.ms, 0.0,
                                                 truth.toleranceMs, truth.why));
}

void CellFigures::addFirstFrame(MatrixCell& cell, const CellPlayer& player)
{
    const NetworkFigures& f = player.figures();
    if (!player.hasFirstFrame()) {
        cell.figures.push_back(MatrixFigure::unjudged(kFigureFirstFrameMs, f.startupMs, "no first frame was shown"));
        return;
    }
    // The harness read the player before and after the first frame: the frame came
    // between those two reads, by the harness's own clock. A read gives the
    // figures the player worked out at its last statistics period (100 ms) or bus
    // message, so the read without one may be that much older than it looks.
    constexpr double kSnapshotAgeMs = 100.0;
    const double earliest = static_cast<double>(player.firstFrameNotYetWallMs() - player.openWallMs()) - kSnapshotAgeMs;
    const double latest = static_cast<double>(player.firstFrameSeenWallMs() - player.openWallMs());
    cell.figures.push_back(MatrixFigure::checked(
        kFigureFirstFrameMs, f.startupMs, (earliest + latest) / 2.0, 0.0, (latest - earliest) / 2.0 + 5.0,
        "between the harness's last read of the player without a first frame, less the player's 100-ms "
        "statistics period its figures may be that old, and its first read with one, from its open call, by the "
        "harness's wall clock (reads 100 ms apart; 5 ms for the clocks' reads)"));
}

void CellFigures::addNoLatency(MatrixCell& cell, const CellPlayer& player, const std::string& why)
{
    cell.figures.push_back(MatrixFigure::unjudged(kFigureLatencyMs, medianLatency(player), why));
}

void CellFigures::markFailed(MatrixCell& cell, const std::string& reason, const CellPlayer* player)
{
    cell.played = false;
    cell.failure = reason;
    if (player && !player->error().empty())
        cell.failure += " (the player: " + player->error() + ")";
}

std::optional<double> CellFigures::medianLatency(const CellPlayer& player)
{
    std::vector<double> readings = player.latencyReadings();
    if (readings.empty())
        return std::nullopt;
    std::nth_element(readings.begin(), readings.begin() + static_cast<std::ptrdiff_t>(readings.size() / 2),
                     readings.end());
    return readings[readings.size() / 2];
}

} // namespace zephyrscope::bench

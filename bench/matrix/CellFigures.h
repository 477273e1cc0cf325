#pragma once

// The figures every protocol's cells judge the same way: stalls against the
// data gap the relay made, the first frame against the harness's own clock,
// and latency where the stream has no wall clock.

#include "CellPlayer.h"
#include "MatrixCell.h"

#include <cstdint>
#include <optional>
#include <string>

namespace zephyrscope::bench {

class CellFigures {
public:
    // The picture resumes at the first key frame after a gap in the data: the
    // test senders put one every 25 frames at 25 fps, so a stall may outlast its
    // gap by up to this, and a frame's time either side.
    static constexpr double kKeyFrameSlackMs = 1000.0 + 2 * 40.0;

    // What the relay's logs say the picture did: how many stalls and how long in
    // all, the tolerance on the length, and why (where each part comes from).
    struct StallTruth {
        double stalls = 0.0, ms = 0.0, toleranceMs = 0.0;
        std::string why;
    };
    static void addStalls(MatrixCell& cell, const CellPlayer& player, const StallTruth& truth);
    // Stalls and their length. dataGapMs: the gap the relay made in the data
    // (an outage), or none where it never stopped the data, so no stall is true.
    static void addStalls(MatrixCell& cell, const CellPlayer& player, std::optional<double> dataGapMs);
    // From the harness's open call to the first frame's wall time the player
    // reported, against the player's own start-up figure.
    static void addFirstFrame(MatrixCell& cell, const CellPlayer& player);
    // Latency where the protocol has no wall clock: n/a, the reading shown if any.
    static void addNoLatency(MatrixCell& cell, const CellPlayer& player, const std::string& why);
    // A cell that did not play: its reason, and what the player said.
    static void markFailed(MatrixCell& cell, const std::string& reason, const CellPlayer* player);
    // The median of the player's live-latency readings; none without readings.
    static std::optional<double> medianLatency(const CellPlayer& player);
};

} // namespace zephyrscope::bench

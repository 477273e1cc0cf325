#pragma once

// A cell of the matrix: one protocol played through one impairment, its
// figures beside the relay's or server's truth. A protocol adds its cells with
// one MatrixProtocol (a name, whether it repairs, and a function that plays one
// cell) returned from its family's file and listed in MatrixProtocols.cpp.
//
// A cell function runs on the main thread with the default GMainContext free
// to run; it starts and ends its own relay, sender and player, so every cell
// stands alone. It never throws: a cell that cannot play returns a result with
// played false and the reason.

#include "MatrixFigure.h"
#include "MatrixImpairment.h"

#include <functional>
#include <string>
#include <vector>

namespace zephyrscope::bench {

struct MatrixCell {
    std::string protocol;
    MatrixImpairment impairment;
    bool played = false;
    std::string failure;      // why it did not play, when it did not
    std::vector<MatrixFigure> figures;
    std::string relayCounts;  // what the relay or server counted, as "name=value ..."
    std::string notes;        // anything else a reader of the table needs (counters that fell)
    double seconds = 0.0;     // how long the cell took

    bool allWithinTolerance() const;
    const MatrixFigure* figure(const std::string& name) const;
};

struct MatrixProtocol {
    std::string name;   // the table's name: "UDP", "RTSP/UDP"
    bool repairs = false;
    // The impairment the lean test suite plays: the protocol's worst cell.
    std::string worstImpairment;
    std::function<MatrixCell(const MatrixImpairment&)> play;
};

// The figures every cell reports, in the table's order.
inline constexpr const char* kFigureReceived = "received";
inline constexpr const char* kFigureLost = "lost";
// Raw UDP: the loss the player estimates beyond what the continuity counters count.
inline constexpr const char* kFigureLostEstimate = "lost estimate";
inline constexpr const char* kFigureRecovered = "recovered";
inline constexpr const char* kFigureStalls = "stalls";
inline constexpr const char* kFigureStallMs = "stall ms";
inline constexpr const char* kFigureFirstFrameMs = "first frame ms";
inline constexpr const char* kFigureLatencyMs = "latency ms";
// Frames shown marked damaged: none where nothing was lost unrepaired, else at
// most those from each loss to the next key frame.
inline constexpr const char* kFigureDamagedFrames = "damaged frames";

inline const std::vector<std::string>& matrixFigureNames()
{
    static const std::vector<std::string> names {kFigureReceived,  kFigureLost,    kFigureLostEstimate,
                                                 kFigureRecovered, kFigureStalls,  kFigureStallMs,
                                                 kFigureFirstFrameMs, kFigureLatencyMs, kFigureDamagedFrames};
    return names;
}

} // namespace zephyrscope::bench

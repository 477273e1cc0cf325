#pragma once

#include "NetworkFigures.h"
#include "QoeScore.h"
#include "SampleLine.h"

#include <cstdint>
#include <optional>

namespace zephyrscope {

// One entry's session so far, tick by tick: the time played and stalled, and
// what was played against the best the stream showed (docs/QOE.md). The metrics
// endpoint keeps one for the current entry; the report sums a clip's ticks with
// one for what was played, and takes start-up and stalls from its own model
// (report/StartupAndStalls), which has the JSON log's events and the whole log.
// Each tick stands for the time to the next one of the same entry.
class SessionTally {
public:
    void tick(const SampleLine& line, const NetworkFigures& figures);
    // Back to nothing, for the next entry.
    void reset() { *this = SessionTally(); }

    double playingSeconds() const { return m_playingSeconds; }
    // Ticks in Buffering or Reconnecting once the entry has played.
    double stalledSeconds() const { return m_stalledSeconds; }
    double rebufferingRatio() const;
    // The mean bit rate played (bit/s): an adaptive stream's declared variant
    // bandwidth, otherwise the measured Bit_Rate; none before anything played.
    std::optional<double> averageBitRate() const;
    // Pixels shown and bit rate, each over the largest the stream showed.
    double resolutionRatio() const;
    double bitRateRatio() const;
    // The score's inputs from the ticks alone: start-up, stall count and damaged
    // picture as the player counted them, stall time from the ticks' states.
    QoeInputs inputs() const;

private:
    std::int64_t m_lastWallMs = 0;
    bool m_lastPlaying = false, m_lastStalled = false;
    double m_lastBitRate = 0.0, m_lastPixels = 0.0;
    bool m_adaptive = false;
    double m_playingSeconds = 0.0, m_stalledSeconds = 0.0;
    double m_bitRateSeconds = 0.0, m_pixelSeconds = 0.0; // integrals over the time played
    double m_pixelPlayingSeconds = 0.0;                  // time played with a picture size known
    double m_topBitRate = 0.0, m_topPixels = 0.0;
    std::int32_t m_startupMs = 0, m_stalls = 0, m_damageStretches = 0;
    std::int64_t m_damagedMs = 0;
    bool m_started = false, m_played = false;
};

} // namespace zephyrscope

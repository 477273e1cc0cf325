#pragma once

#include "QoeScore.h"

#include <cstddef>
#include <optional>

namespace zephyrscope::report {

struct Figures;
struct RunSummary;
struct StatisticsLog;

// A clip, or the run, in the terms of CTA-2066's QoE metrics, and its score.
// docs/QOE.md defines each: what counts, from which events and columns.
struct SessionMetrics {
    std::size_t sessions = 0;                 // entries: those that never opened too
    std::optional<double> videoStartSeconds;  // Video Start Time (the run: mean of the clips')
    int videoStartFailures = 0;               // Video Start Failure: failed before its picture
    int exitsBeforeVideoStart = 0;            // Exit Before Video Start: ended otherwise before it
    int playbackFailures = 0;                 // Video Playback Failure: failed after it
    int rebufferingCount = 0;
    double rebufferingSeconds = 0.0;
    double rebufferingRatio = 0.0;
    int bitrateSwitchesUp = 0, bitrateSwitchesDown = 0;
    std::optional<double> averageBitRate;     // bit/s, over the time played
    double playingSeconds = 0.0;              // what averageBitRate is over
    double blackSeconds = 0.0, frozenSeconds = 0.0;
    std::optional<double> silentSeconds;      // none: no audio was measured
    QoeInputs inputs;                         // a clip's; the run's score is the sessions' mean
    QoeScore score;
};

// A clip as a session: its figures' start-up and stalls in standard terms, what
// its ticks [begin, end) say of the picture and bit rate played, how its entry
// ended, and its content's stretches. clip: its index in log.media.
SessionMetrics ClipSession(const StatisticsLog& log, std::size_t begin, std::size_t end, const Figures& f,
                           std::size_t clip);

// The run: the clips' sessions added up, and the entries that ended before their
// media opened, each a session that never started.
SessionMetrics RunSession(const StatisticsLog& log, const RunSummary& summary);

} // namespace zephyrscope::report

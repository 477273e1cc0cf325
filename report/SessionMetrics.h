#pragma once

#include "QoeScore.h"

#include <cstddef>
#include <optional>

namespace zephyrscope::report {

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

} // namespace zephyrscope::report

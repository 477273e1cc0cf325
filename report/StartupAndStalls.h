#pragma once

#include "StatisticsLog.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace zephyrscope::report {

// A stretch of wall-clock time, in seconds since 1970.
struct Period {
    double begin = 0.0;
    double end = 0.0;
};

// Start-up, time played and stalls of a stretch of ticks, worked out in this one
// place for the report's figures and its sessions (docs/QOE.md's Video Start
// Time and Rebuffering).
//
// From the ticks' states: start-up runs from the stretch's first tick to its
// first in Playing, and a stall is a run of ticks in Buffering or Reconnecting
// once play began, each tick standing for its SampleDurations. A JSON Lines
// log's events time them where they happen, and then count instead: first_frame
// gives the start-up, each stall_ended one stall and its length.
//
// Core's SessionTally, the metrics endpoint's session, is another model on
// purpose: it runs live, so a tick's time counts only once the next tick has
// come (here the last tick, and one before a gap, stand for a nominal period),
// and its start-up and stall count are the player's own counters, which a
// tab-separated log does not have.
struct StartupAndStalls {
    std::size_t playingSamples = 0;
    double playingSeconds = 0.0;
    std::optional<double> startupSeconds; // first sample to the first in Playing, or to the first frame
    int stalls = 0;                        // stretches in Buffering or Reconnecting after play began
    double stallSeconds = 0.0;
    std::vector<Period> stallPeriods;
    double rebufferRatio = 0.0;            // stall time / (playing time + stall time)
    // From a JSON Lines log's events: the time from the entry's start to its
    // first frame shown, and each stall's length.
    std::optional<std::int64_t> firstFrameMs;
    std::vector<std::int64_t> stallMs;

    // Ticks [begin, end) of samples, whose durations are SampleDurations(samples).
    static StartupAndStalls ofTicks(const std::vector<LogSample>& samples, const std::vector<double>& durations,
                                    std::size_t begin, std::size_t end);
    // The stalls as the events of one clip (of all, for none) time them, in
    // place of the ticks'; the start-up too, where a first frame came.
    void timeByEvents(const std::vector<LogEvent>& events, std::optional<std::size_t> clip);
    // A run of clips: its stalls are the clips' (buffering while the next clip
    // opens is that clip's start-up, not a stall), its start-up the first clip's
    // first frame where there was one, else its own ticks'.
    void sumUpClips(const std::vector<const StartupAndStalls*>& clips);

    // Whether the stretch showed a picture: a first frame, or a tick in Playing.
    bool started() const { return firstFrameMs.has_value() || playingSamples > 0; }

private:
    void clearStalls();
    void updateRebufferRatio();
};

} // namespace zephyrscope::report

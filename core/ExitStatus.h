#pragma once

namespace zephyrscope {

// The program's exit statuses, for scripts that run it unattended.
enum ExitStatus : int {
    kExitNormal = 0,
    kExitNoPlayer = 1,        // the media engine could not be started, or could not run here
    kExitLogFailure = 2,      // the statistics log could not be created
    kExitPlaybackFailure = 3, // nothing could be played and the run ended by itself
    // The run ended by itself and something played, but an entry failed or was lost
    // part-way, or the log could not take every write: the measurement is incomplete.
    kExitIncomplete = 4,
    kExitMetricsFailure = 5,  // the metrics endpoint could not be bound; nothing was played or written
    kExitUsage = 64,          // an unknown option or a bad option value (sysexits' EX_USAGE)
    kExitHangUp = 129,        // SIGHUP
    kExitInterrupted = 130,   // SIGINT
    kExitTerminated = 143,    // SIGTERM
};

// What a run has come to, counted over the whole run.
struct RunTally {
    int entriesPlayed = 0;      // reached Playing, or played to their end
    int entriesFailed = 0;      // could not be opened, or were lost part-way
    bool logIncomplete = false; // a write to the log failed
};

// The status of a run that ends by itself: whether every entry played to its end.
constexpr ExitStatus RunEndStatus(const RunTally& tally)
{
    if (tally.entriesPlayed == 0)
        return tally.entriesFailed > 0 ? kExitPlaybackFailure : kExitNormal;
    if (tally.entriesFailed > 0 || tally.logIncomplete)
        return kExitIncomplete;
    return kExitNormal;
}

} // namespace zephyrscope

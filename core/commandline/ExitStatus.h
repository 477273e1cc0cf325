#pragma once

#include <string_view>

namespace zephyrscope {

// The program's exit statuses, for scripts that run it unattended; what each
// means is said once, in kExitStatusMeanings below.
enum ExitStatus : int {
    kExitNormal = 0,
    kExitNoPlayer = 1,        // also when the media engine cannot run here
    kExitLogFailure = 2,
    kExitPlaybackFailure = 3,
    kExitIncomplete = 4,
    kExitMetricsFailure = 5,  // nothing was played or written
    kExitUsage = 64,          // sysexits' EX_USAGE
    kExitHangUp = 129,        // 128 + the signal's number
    kExitInterrupted = 130,
    kExitTerminated = 143,
};

// What a status means, as --help says it: one line each, with a line feed
// where --help breaks a long one.
struct ExitStatusMeaning {
    int status; // an ExitStatus, or another program's own (the report's)
    std::string_view meaning;
};

// Every status, in the order --help lists them.
inline constexpr ExitStatusMeaning kExitStatusMeanings[] = {
    {kExitNormal, "the run ended normally (Quit, or the countdown after every entry\nhad played to its end)"},
    {kExitNoPlayer, "the media engine could not be started"},
    {kExitLogFailure, "the log could not be created"},
    {kExitPlaybackFailure, "nothing could be played and the run ended by itself"},
    {kExitIncomplete, "the run ended by itself and something played, but an entry failed or\n"
                      "was lost part-way, or log writes failed (the log is incomplete)"},
    {kExitMetricsFailure, "the metrics endpoint could not be served (address in use, ...)"},
    {kExitUsage, "usage error: an unknown option or a bad option value, or no URL\n"
                 "where nobody can open one (the offscreen platform)"},
    {kExitHangUp, "stopped by SIGHUP (the log is complete and closed)"},
    {kExitInterrupted, "stopped by SIGINT (the log is complete and closed)"},
    {kExitTerminated, "stopped by SIGTERM (the log is complete and closed)"},
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

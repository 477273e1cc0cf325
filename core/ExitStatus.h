#pragma once

namespace zephyrscope {

// The program's exit statuses, for scripts that run it unattended.
enum ExitStatus : int {
    kExitNormal = 0,
    kExitLogFailure = 2,      // the statistics log could not be created
    kExitPlaybackFailure = 3, // nothing could be played and the run ended by itself
    kExitMetricsFailure = 5,  // the metrics endpoint could not be bound; nothing was played or written
    kExitUsage = 64,          // an unknown option or a bad option value (sysexits' EX_USAGE)
    kExitInterrupted = 130,   // SIGINT
    kExitTerminated = 143,    // SIGTERM
};

} // namespace zephyrscope

#pragma once

// Running out of file descriptors (the open-file limit, RLIMIT_NOFILE) is not
// reported by GStreamer as an error: a bus or clock whose poll set could not be
// made (no descriptor left for its socket pair) fails every later use of it
// with a GStreamer-CRITICAL line, hundreds of them, while the entry seems to
// play. This names it instead: an entry checks for headroom before it starts
// and, with a tally of its own, for a shortage heard while it played, and says
// once "file descriptors ran out (limit N)". Private to player/.
//
// Thread: watch() installs GLib log handlers once (any thread); the handlers
// run on whichever thread logs and only count; the rest may run anywhere.

#include "EventTally.h"

#include <optional>
#include <string>

namespace zephyrscope {

class DescriptorLimit {
public:
    // Takes GStreamer's and GLib's warnings and criticals that come of the
    // shortage off stderr and tells shortages() of them; every other message
    // goes on as before. A fatal one is preceded by a line naming the limit.
    // libsoup's refusal of a local file is handed to DownloadRefusals. Idempotent.
    static void watch();

    // Where shortages are heard, process-wide: an entry tallies those heard while it plays.
    static EventTally::Channel& shortages();

    // "file descriptors ran out (limit N)" when fewer than `headroom` descriptors
    // are free below the soft limit now; nothing otherwise.
    static std::optional<std::string> shortOf(int headroom);

    // The reason an entry fails with once descriptors ran out.
    static std::string reason();

    // Whether a GLib log message is what a descriptor shortage leaves behind.
    static bool isShortageMessage(const char* domain, const char* message);

    // Descriptors open in this process now, and the soft limit (-1: none).
    static int openCount();
    static long long softLimit();
};

} // namespace zephyrscope

#pragma once

// The HTTP requests adaptive demuxers (hlsdemux2, dashdemux2) make for playlists
// and segments. They fetch through a libsoup session of their own that GStreamer
// 1.22 does not expose, and post nothing per segment, so a process-wide emission
// hook on libsoup's message "finished" signal sees each request's URI and status
// and hands it to the entry whose manifest came from the same server, with the
// Content-Length of a playlist (whose bytes pass no pad). Private to player/.
// Upstream: no fix as of 1.28.6 (the per-fragment statistics are still under #if 0).
//
// Thread: the hook runs on the demuxers' download threads and only stores into
// StreamCounters; watch() may be called from any thread. The registry holds the
// counters weakly, so an entry that ended simply drops out.

#include "StreamCounters.h"

#include <memory>
#include <string>

namespace zephyrscope {

class AdaptiveRequests {
public:
    // Sends the requests to servers of manifestUri's scheme, host and port to
    // counters from now on. Installs the hook on first use; without libsoup's
    // message type (no soup request made yet in this process) it tries again on
    // the next call, and the counters see nothing meanwhile.
    static void watch(const std::string& manifestUri, const std::shared_ptr<StreamCounters>& counters);
};

} // namespace zephyrscope

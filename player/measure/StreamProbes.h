#pragma once

// Probes and signal handlers that let the streaming threads of one entry feed
// its StreamCounters. They only store into the counters (atomics) or post a
// message that wakes the main loop. Private to player/.

#include "StreamCounters.h"

#include <memory>

typedef struct _GstElement GstElement;

namespace zephyrscope {

class StreamProbes {
public:
    // Name of the application message posted on the bus when the video sink
    // learns its format.
    static constexpr const char* kVideoFormatMessage = "zephyrscope-video-format";

    // Frame times and the negotiated format at the video sink. A fake sink
    // reports each frame as it is rendered; other sinks as it reaches them.
    static void attachToVideoSink(GstElement* sink, const std::shared_ptr<StreamCounters>& counters);

    // Remembers playbin3's source, bounds its network waits, and counts the bytes
    // and buffers it delivers. For an adaptive demuxer fetching on its own, counts
    // the segment bytes entering its parsers, keeps its manifest and watches its
    // requests (see AdaptiveRequests).
    static void attachToPlaybin(GstElement* playbin, const std::shared_ptr<StreamCounters>& counters);
};

} // namespace zephyrscope

#pragma once

// Probes and signal handlers that let the streaming threads of one entry feed
// its StreamCounters. They only store into the counters (atomics) or post a
// message that wakes the main loop. Private to player/.

#include "PlayerProtocol.h"
#include "StreamCounters.h"

#include <gst/gst.h>

#include <memory>
#include <span>

namespace zephyrscope {

class StreamProbes {
public:
    // Name of the application message posted on the bus when the video sink
    // learns its format.
    static constexpr const char* kVideoFormatMessage = "zephyrscope-video-format";

    // Frame times and the negotiated format at the video sink. A fake sink
    // reports each frame as it is rendered; other sinks as it reaches them.
    static void attachToVideoSink(GstElement* sink, const std::shared_ptr<StreamCounters>& counters);

    // Remembers playbin3's source, has its protocol set it up, and counts the
    // bytes and buffers it delivers; watches MPEG-TS demuxers, and hands every
    // other element playbin3 makes to the protocols' element set-up (an adaptive
    // demuxer fetching on its own). protocols: the descriptors, kept for ever.
    static void attachToPlaybin(GstElement* playbin, const std::shared_ptr<StreamCounters>& counters,
                                std::span<const PlayerProtocol* const> protocols);

    // The same for a pipeline of its own: sourceBin's (a urisourcebin's)
    // source, and every element added anywhere in pipeline.
    static void attachToSourceBin(GstElement* pipeline, GstElement* sourceBin,
                                  const std::shared_ptr<StreamCounters>& counters,
                                  std::span<const PlayerProtocol* const> protocols);

    // For the protocols' own probes (any thread): counts the bytes and buffers
    // passing pad as received data.
    static void countData(GstPad* pad, const std::shared_ptr<StreamCounters>& counters);
    // Adds a probe to pad whose data holds counters as long as the probe lives;
    // the callback gets them back with countersOf.
    static void addProbe(GstPad* pad, GstPadProbeType types, GstPadProbeCallback callback,
                         const std::shared_ptr<StreamCounters>& counters);
    static StreamCounters& countersOf(gpointer data);
};

} // namespace zephyrscope

#pragma once

#include <gst/gst.h>

#include <cstdint>

namespace zephyrscope {

// How much an adaptive demuxer (adaptivedemux2) buffers before it reports 100 %.
// In GStreamer 1.22 playbin3 does not hand its buffer-duration to the demuxer,
// which waits for 30 s of data (its max-buffering-time). A live stream can never be buffered
// further ahead than the live edge (dashdemux2 starts 10 s behind it), so the
// demuxer would report buffering below 100 % for ever and the entry would never
// leave Buffering.
class AdaptiveBuffering {
public:
    // A live presentation: the demuxer buffers what the engine gave playbin3 as
    // its buffer-duration. Anything but an adaptivedemux2 demuxer is left alone.
    static void fitLive(GstElement* demuxer, std::int64_t bufferingTimeMs);
};

} // namespace zephyrscope

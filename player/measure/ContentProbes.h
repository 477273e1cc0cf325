#pragma once

// Probes at an entry's video and audio sinks that sum up what the viewer gets:
// each picture's luma, subsampled (every 4th pixel of every 4th row, read from
// the luma plane alone), and the sound in its own format, for the entry's
// ContentMeasurement. Buffers are mapped read-only, in place, never copied
// (planar sound alone is interleaved, for libebur128). Streaming threads only.
// Private to player/.

#include "StreamCounters.h"

#include <gst/gst.h>

#include <memory>

namespace zephyrscope {

class ContentProbes {
public:
    // Either sink may be null (no audio sink: nothing is heard).
    static void attach(GstElement* videoSink, GstElement* audioSink, const std::shared_ptr<StreamCounters>& counters);
};

} // namespace zephyrscope

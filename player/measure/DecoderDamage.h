#pragma once

// Marks the pictures a video decoder made from damaged input as
// GST_BUFFER_FLAG_CORRUPTED, as a decoder that knew would (DamageMarks says
// which), so that what reaches the video sink carries the mark: the converters
// between copy a buffer's flags, and ContentProbes counts the marked pictures
// shown. A picture the decoder marked itself keeps its mark. Probes on the
// decoder's pads, streaming threads only. Private to player/.

#include <gst/gst.h>

namespace zephyrscope {

class DecoderDamage {
public:
    // Watches element if it is a video decoder (its factory's class says so);
    // anything else is left alone.
    static void watch(GstElement* element);

    // Whether the units reaching sink (a decoder's sink pad) were made by a
    // demuxer, up through parsers, queues and bins' ghost pads: a demuxer hands
    // on each unit collected from its own start, so its DISCONT says data went
    // missing before the unit (tsdemux 1.22, after a break in its input, hands
    // on what it was collecting cut short and unmarked, flushes, and marks the
    // first unit it collects after); a depayloader marks the first unit it
    // makes after lost packets, which may lack some of its own.
    static bool unitsFromDemuxer(GstPad* sink);
};

} // namespace zephyrscope

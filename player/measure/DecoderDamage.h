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
};

} // namespace zephyrscope

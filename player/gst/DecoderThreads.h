#pragma once

#include <gst/gst.h>

#include <cstdint>

namespace zephyrscope {

// How many threads each software video decoder of a pipeline gets. Frame
// threading costs memory (every thread holds frames of its own) and CPU (the
// threads hand frames over), so a stream one thread decodes with room to spare
// gets one; anything heavier, or a stream whose rate is not known, keeps the
// decoder's own choice (a thread per core). Set again at every caps change, as
// an adaptive stream may switch to a larger picture.
class DecoderThreads {
public:
    // Pixels a second up to which one thread decodes: 1920x1080 at 30 fps. One
    // thread of the reference host (docs/PERFORMANCE.md) decodes a 1280x720
    // 3 Mbit/s H.264 stream at about 340 frames/s (310 Mpixel/s), so this keeps
    // one thread at a fifth of a core, with room for higher bit rates and slower
    // hosts; 1080p60 and 4K60 keep all threads.
    static constexpr double kOneThreadMaxPixelRate = 1920.0 * 1080.0 * 30.0;

    // The decoder's max-threads for a stream: 1, or 0 for the decoder's own choice.
    // A rate that is not known (fpsNumerator 0) gets 0.
    static int forStream(std::int32_t width, std::int32_t height, std::int32_t fpsNumerator,
                         std::int32_t fpsDenominator);

    // Watches every decoder playbin3 sets up (its element-setup signal).
    static void attach(GstElement* playbin);
};

} // namespace zephyrscope

#pragma once

// The wall clock an adaptive stream gives its media. hlsdemux2 reads a live
// playlist's EXT-X-PROGRAM-DATE-TIME but attaches it to no buffer: it only sends
// the date and time of the first segment it fetches as a tag into the parsebin
// inside it, which does not pass the tag on. A probe there catches it, and the
// first frame after it, on the video sink, is that segment's first frame.
// Private to player/.

#include <memory>

typedef struct _GstElement GstElement;

namespace zephyrscope {

class PresentationTimes;

class SourceDateTimes {
public:
    // Watches the adaptive demuxers playbin plugs from now on for the wall
    // clock of their segments, and hands it to times.
    static void attach(GstElement* playbin, const std::shared_ptr<PresentationTimes>& times);
};

} // namespace zephyrscope

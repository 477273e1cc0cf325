#pragma once

// The wall clock an HTTP live stream gives its media. hlsdemux2 reads a live
// playlist's EXT-X-PROGRAM-DATE-TIME but attaches it to no buffer: it only sends
// the date and time of the first segment it fetches as a tag into the parsebin
// inside it, which does not pass the tag on. A probe there catches it for the
// entry's PresentationTimes, and the first frame after it, on the video sink,
// is that segment's first frame. Private to player/.

#include "StreamCounters.h"

#include <memory>

typedef struct _GstElement GstElement;

namespace zephyrscope {

class SourceDateTimes {
public:
    // Watches the parsebin inside hlsdemux2 for the dates of its segments, and
    // hands them to the counters' presentation times. Any thread.
    static void watch(GstElement* parsebin, const std::shared_ptr<StreamCounters>& counters);
};

} // namespace zephyrscope

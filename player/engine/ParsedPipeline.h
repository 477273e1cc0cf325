#pragma once

// A transport-only entry's pipeline for a live protocol whose streams come in
// one multiplex: urisourcebin, a parsebin for each of its pads, and the stream
// sinks, linked as the parsers find the streams. Everything runs on the
// source's streaming thread: playbin3 would hand each access unit on through
// two multiqueues and playsink's queue, a thread each, which cost a
// transport-only probe more than its own work. Private to player/.
//
// The sinks do not wait to preroll (the source is live, so nothing prerolls):
// a sink whose stream never comes holds nothing up, and one linked late does
// not take the playing pipeline back to paused.

#include "GstHandles.h"

#include <string>

namespace zephyrscope {

class ParsedPipeline {
public:
    // The pipeline for uri with videoSink and audioSink (the first video and
    // audio stream go to them, any other to a sink of its own that only drops),
    // or nullptr with error saying why it cannot be made. sourceBin: the
    // urisourcebin, for its source-setup signal.
    static gsthandles::PipelinePtr build(const std::string& uri, GstElement* videoSink, GstElement* audioSink,
                                         GstElement*& sourceBin, std::string& error);
};

} // namespace zephyrscope

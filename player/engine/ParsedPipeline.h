#pragma once

// A transport-only entry's pipeline for a live protocol whose streams come
// from its source alone (PlayerProtocol::ownParsedPipeline): urisourcebin, a
// parsebin for each of its pads, and the stream sinks, each put in and linked
// as its stream is found. Each stream runs on its source pad's streaming
// thread: playbin3 would hand each access unit on through two multiqueues and
// playsink's queue, a thread each, which cost a transport-only probe more than
// its own work. Private to player/.
//
// The sinks do not wait to preroll (the source is live, so nothing prerolls):
// one that comes in late does not take the playing pipeline back to paused,
// and a sink whose stream never comes is never in it, so the pipeline ends
// when the streams there are end.

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

#pragma once

// The sinks of a transport-only entry's pipeline, where uridecodebin3's parsed
// streams end. playbin3 would put playsink and its queue between each stream and
// its sink: one more thread for every access unit to wake, for nothing, since a
// fake sink neither converts nor shows. Here each stream uridecodebin3 exposes
// is linked straight to a sink: the first video stream to the video sink (the
// one the probes watch), the first audio stream to the audio sink, any other to
// a fake sink of its own that neither waits for the clock nor holds up the
// preroll.
//
// Both sinks are in the pipeline from the start, so, as with playsink, the
// pipeline is not paused or playing before its streams reach them; once
// decodebin3 says which streams it selected, a sink whose kind is not among
// them leaves (a clip without sound still prerolls), and comes back should a
// stream of its kind come after all.
//
// Thread: attach on the main thread, before the pipeline leaves NULL; the rest
// runs on the streaming threads that select and expose the streams.
// Ownership: the handlers' data holds the two sinks until uridecodebin3 and the
// pipeline's bus are gone.

#include "GstHandles.h"

namespace zephyrscope {

class ParsedStreamSinks {
public:
    // uriDecodeBin must already be in pipeline; audioSink may be null.
    static void attach(GstElement* pipeline, GstElement* uriDecodeBin, gsthandles::ElementPtr videoSink,
                       gsthandles::ElementPtr audioSink);
};

} // namespace zephyrscope

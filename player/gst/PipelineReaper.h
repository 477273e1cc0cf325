#pragma once

#include <chrono>

typedef struct _GstElement GstElement;

namespace zephyrscope {

// Shuts pipelines down (to NULL, then unref) on a thread of their own.
// playbin3 in GStreamer 1.22 can deadlock when it is brought down while a
// streaming thread is still typefinding (the streaming thread's have-type
// handler waits for a lock the state change holds). Done on the main loop, that
// would freeze the program; done here, the main loop waits a bounded time and
// goes on, and a stuck pipeline is left behind with its thread.
// Upstream fix: f7d6822589 "urisourcebin: Avoid deadlock on shutdown" (1.26.0; 1.24.11).
class PipelineReaper {
public:
    static constexpr std::chrono::milliseconds kDefaultWait {1000};

    // Takes over the caller's reference. Returns once the pipeline is down, or
    // after wait, whichever comes first. Any thread.
    static void release(GstElement* pipeline, std::chrono::milliseconds wait = kDefaultWait);
};

} // namespace zephyrscope

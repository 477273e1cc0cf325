#include "PipelineReaper.h"

#include <gst/gst.h>

#if defined(__GLIBC__)
#include <malloc.h>
#endif

#include <condition_variable>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>

namespace zephyrscope {

namespace {
struct Shutdown {
    std::mutex mutex;
    std::condition_variable finished;
    bool done = false;
};

// A pipeline's streaming threads each allocated from an arena of glibc's
// malloc; once they are gone their freed memory stays with those arenas, and
// the next pipeline's threads take other arenas rather than reuse it. An
// always-on probe that reopens its channel after every outage then grows by
// megabytes while its heap in use stays flat: the freed pages are handed back.
void returnFreedMemory()
{
#if defined(__GLIBC__)
    malloc_trim(0);
#endif
}

void shutDown(GstElement* pipeline)
{
    gst_element_set_state(pipeline, GST_STATE_NULL);
    gst_object_unref(pipeline);
    returnFreedMemory();
}
}

void PipelineReaper::release(GstElement* pipeline, std::chrono::milliseconds wait)
{
    if (!pipeline)
        return;
    // Named now: once the worker has dropped the last reference, the pipeline is
    // gone, and a late shutdown is exactly when the name is printed.
    std::unique_ptr<gchar, decltype(&g_free)> name(gst_object_get_name(GST_OBJECT(pipeline)), &g_free);
    auto shutdown = std::make_shared<Shutdown>();
    try {
        std::thread([pipeline, shutdown] {
            shutDown(pipeline);
            std::lock_guard lock(shutdown->mutex);
            shutdown->done = true;
            shutdown->finished.notify_all();
        }).detach();
    } catch (const std::system_error&) {
        // No thread to be had: shut down here, as GStreamer would.
        shutDown(pipeline);
        return;
    }
    std::unique_lock lock(shutdown->mutex);
    if (!shutdown->finished.wait_for(lock, wait, [&] { return shutdown->done; }))
        g_printerr("Cannot shut down pipeline '%s': still stopping after %lld ms; left behind\n",
                   name ? name.get() : "", static_cast<long long>(wait.count()));
}

} // namespace zephyrscope

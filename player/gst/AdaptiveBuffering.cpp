#include "AdaptiveBuffering.h"

namespace zephyrscope {

void AdaptiveBuffering::fitLive(GstElement* demuxer, std::int64_t bufferingTimeMs)
{
    if (!demuxer || bufferingTimeMs <= 0
        || !g_object_class_find_property(G_OBJECT_GET_CLASS(demuxer), "max-buffering-time"))
        return;
    // Its buffering threshold is capped by max-buffering-time, read as the
    // level is measured; high-watermark-time alone does not move it.
    guint64 current = 0;
    g_object_get(demuxer, "max-buffering-time", &current, nullptr);
    const guint64 wanted = static_cast<guint64>(bufferingTimeMs) * GST_MSECOND;
    if (current == 0 || current > wanted)
        g_object_set(demuxer, "max-buffering-time", wanted, nullptr);
}

} // namespace zephyrscope

#include "SrtDeliveryGaps.h"

#include "GLibHandles.h"

#include <gst/gst.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <mutex>

namespace zephyrscope {

namespace {

// A sequence jump larger than this is a new connection (auto-reconnect starts
// at a random sequence number), not a loss: about 100 s of a 100 Mbit/s stream.
constexpr std::uint32_t kMaxCredibleGapPackets = 1u << 20;
// srtsrc wraps its expected sequence number at G_MAXINT32.
constexpr std::uint32_t kSequenceModulo = 0x7fffffffu;

GstDebugCategory* g_srtsrcCategory = nullptr;
// srtsrc's threshold as the user's debug settings left it, before it was raised.
std::atomic<int> g_userThreshold {GST_LEVEL_NONE};
bool g_forwardToDefault = false;

GQuark countersQuark()
{
    static const GQuark quark = g_quark_from_static_string("zephyrscope-srt-counters");
    return quark;
}

void countGap(GObject* object, GstDebugMessage* message)
{
    auto* held = static_cast<std::shared_ptr<StreamCounters>*>(g_object_get_qdata(object, countersQuark()));
    const gchar* text = held ? gst_debug_message_get(message) : nullptr;
    long long got = 0, expected = 0;
    if (!text || std::sscanf(text, "discont detected %lld (expected: %lld)", &got, &expected) != 2)
        return;
    // The first packet of a connection is "unexpected" too: expected is still 0.
    if (expected == 0 || got < 0 || expected < 0)
        return;
    const std::uint32_t gap = got >= expected ? static_cast<std::uint32_t>(got - expected)
                                              : static_cast<std::uint32_t>(got + kSequenceModulo - expected);
    if (gap > 0 && gap <= kMaxCredibleGapPackets)
        (*held)->packetsNeverDelivered(gap);
}

void onLog(GstDebugCategory* category, GstDebugLevel level, const gchar* file, const gchar* function, gint line,
           GObject* object, GstDebugMessage* message, gpointer)
{
    const bool srtsrc = category == g_srtsrcCategory;
    if (srtsrc && level == GST_LEVEL_WARNING && object)
        countGap(object, message);
    if (g_forwardToDefault && (!srtsrc || level <= g_userThreshold.load()))
        gst_debug_log_default(category, level, file, function, line, object, message, nullptr);
}

GstDebugCategory* findCategory(const char* name)
{
    GSList* all = gst_debug_get_all_categories();
    GstDebugCategory* found = nullptr;
    for (GSList* item = all; item && !found; item = item->next) {
        auto* category = static_cast<GstDebugCategory*>(item->data);
        if (std::strcmp(gst_debug_category_get_name(category), name) == 0)
            found = category;
    }
    g_slist_free(all);
    return found;
}

void installHook()
{
    g_srtsrcCategory = findCategory("srtsrc");
    if (!g_srtsrcCategory)
        return;
    const GstDebugLevel user = gst_debug_category_get_threshold(g_srtsrcCategory);
    g_userThreshold = user;
    g_forwardToDefault = gst_debug_remove_log_function(gst_debug_log_default) > 0;
    gst_debug_add_log_function(onLog, nullptr, nullptr);
    if (user < GST_LEVEL_WARNING)
        gst_debug_category_set_threshold(g_srtsrcCategory, GST_LEVEL_WARNING);
}

} // namespace

void SrtDeliveryGaps::watch(GstElement* srtsrc, const std::shared_ptr<StreamCounters>& counters)
{
    static std::once_flag installed;
    std::call_once(installed, installHook);
    g_object_set_qdata_full(G_OBJECT(srtsrc), countersQuark(), gsthandles::holdForCallback(counters),
                            gsthandles::releaseHeld<StreamCounters>);
}

} // namespace zephyrscope

#include "SrtDeliveryGaps.h"

#include <gst/gst.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <optional>

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

// What is known of one srtsrc's connection, touched only on its streaming thread.
struct Watch {
    std::shared_ptr<StreamCounters> counters;
    // A connection's packets before its first delivered one are never reported
    // as a gap: srtsrc expects nothing yet, or takes the jump as a new
    // connection. They are counted from the next packet's message number, as
    // SRT's live mode sends one packet per message and numbers a connection's
    // messages from 1. Until its first packet is read, firstSequence is unknown.
    bool awaitingFirstPacket = true;
    std::optional<long long> firstSequence;
};

GQuark watchQuark()
{
    static const GQuark quark = g_quark_from_static_string("zephyrscope-srt-watch");
    return quark;
}

std::uint32_t sequenceDistance(long long from, long long to)
{
    return to >= from ? static_cast<std::uint32_t>(to - from) : static_cast<std::uint32_t>(to + kSequenceModulo - from);
}

void countGap(Watch& watch, GstDebugMessage* message)
{
    const gchar* text = gst_debug_message_get(message);
    long long got = 0, expected = 0;
    if (!text || std::sscanf(text, "discont detected %lld (expected: %lld)", &got, &expected) != 2 || got < 0
        || expected < 0)
        return;
    // SRT's last sequence number is 2^31 - 1, where srtsrc already expects 0 (and
    // then -1): that is no gap and no new connection.
    if (expected == 0 && got == kSequenceModulo)
        return;
    const std::uint32_t gap = sequenceDistance(expected, got);
    // The first packet of a connection is "unexpected" too: expected is still 0,
    // or the sequence jumped to a new connection's random start.
    if (expected != 0 && gap > 0 && gap <= kMaxCredibleGapPackets) {
        watch.counters->packetsNeverDelivered(gap);
    } else if (!watch.awaitingFirstPacket && watch.firstSequence != got) {
        watch.awaitingFirstPacket = true;
        watch.firstSequence = got;
    }
}

// srtsrc logs each packet it reads: "recv_len:<n> pktseq:<seq> msgno:<msg> ...".
void countLeadingLoss(Watch& watch, GstDebugMessage* message)
{
    const gchar* text = gst_debug_message_get(message);
    long long sequence = 0, messageNumber = 0;
    if (!text || std::sscanf(text, "recv_len:%*u pktseq:%lld msgno:%lld", &sequence, &messageNumber) != 2
        || messageNumber < 1 || sequence < 0)
        return;
    watch.awaitingFirstPacket = false;
    // The first packet's own number when it is the one read, else the number
    // the connection's first packet had, from its distance to this one.
    const long long first = watch.firstSequence.value_or(sequence);
    watch.firstSequence = first;
    const long long before = messageNumber - 1 - sequenceDistance(first, sequence);
    if (before > 0 && before <= kMaxCredibleGapPackets)
        watch.counters->packetsNeverDelivered(static_cast<std::uint64_t>(before));
}

void onLog(GstDebugCategory* category, GstDebugLevel level, const gchar* file, const gchar* function, gint line,
           GObject* object, GstDebugMessage* message, gpointer)
{
    const bool srtsrc = category == g_srtsrcCategory;
    if (srtsrc && object) {
        if (auto* watch = static_cast<Watch*>(g_object_get_qdata(object, watchQuark()))) {
            if (level == GST_LEVEL_WARNING)
                countGap(*watch, message);
            else if (level == GST_LEVEL_LOG && watch->awaitingFirstPacket)
                countLeadingLoss(*watch, message);
        }
    }
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
    if (user < GST_LEVEL_LOG)
        gst_debug_category_set_threshold(g_srtsrcCategory, GST_LEVEL_LOG);
}

} // namespace

void SrtDeliveryGaps::watch(GstElement* srtsrc, const std::shared_ptr<StreamCounters>& counters)
{
    static std::once_flag installed;
    std::call_once(installed, installHook);
    g_object_set_qdata_full(G_OBJECT(srtsrc), watchQuark(), new Watch {counters, true, std::nullopt},
                            [](gpointer watch) { delete static_cast<Watch*>(watch); });
}

} // namespace zephyrscope

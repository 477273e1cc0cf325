#include "WebRtcStatistics.h"

#include "EntryStatistics.h"
#include "GstHandles.h"
#include "GstStructureFields.h"
#include "WhepSource.h"

#include <algorithm>
#include <deque>
#include <mutex>

namespace zephyrscope {

using namespace gsthandles;

namespace {

constexpr std::int64_t kRequestPeriodUs = 1000000;
// Sender reports come every few seconds: the sender's rate is taken over this.
constexpr std::int64_t kSenderRateWindowUs = 10000000;

std::string factoryName(GstElement* element)
{
    GstElementFactory* factory = gst_element_get_factory(element);
    return factory ? GST_OBJECT_NAME(factory) : "";
}

} // namespace

struct WebRtcStatistics::Reported {
    struct SenderSample {
        std::int64_t timeUs;
        std::uint64_t bytes;
    };
    std::mutex mutex;
    bool pending = false;
    double jitterS = 0.0;
    std::uint64_t nacks = 0, plis = 0;
    std::deque<SenderSample> sender; // the sender's byte count, each time it changed

    // webrtcbin's thread: one answer to get-stats.
    void take(const GstStructure* stats)
    {
        double jitter = 0.0;
        std::uint64_t nackSum = 0, pliSum = 0, senderBytes = 0;
        const gint fields = gst_structure_n_fields(stats);
        for (gint i = 0; i < fields; ++i) {
            const GValue* value = gst_structure_get_value(stats, gst_structure_nth_field_name(stats, i));
            if (!value || !GST_VALUE_HOLDS_STRUCTURE(value))
                continue;
            const GstStructure* entry = gst_value_get_structure(value);
            if (gst_structure_has_name(entry, "inbound-rtp")) {
                gdouble streamJitter = 0.0;
                if (gst_structure_get_double(entry, "jitter", &streamJitter))
                    jitter = std::max(jitter, streamJitter);
                nackSum += StructureUint64(entry, "nack-count");
                pliSum += StructureUint64(entry, "pli-count");
            } else if (gst_structure_has_name(entry, "remote-outbound-rtp")) {
                senderBytes += StructureUint64(entry, "bytes-sent");
            }
        }
        const std::int64_t now = g_get_monotonic_time();
        std::lock_guard lock(mutex);
        pending = false;
        jitterS = jitter;
        nacks = nackSum;
        plis = pliSum;
        if (senderBytes > 0 && (sender.empty() || sender.back().bytes != senderBytes))
            sender.push_back({now, senderBytes});
        while (sender.size() > 2 && sender[1].timeUs <= now - kSenderRateWindowUs)
            sender.pop_front();
    }

    static void answered(GstPromise* promise, gpointer data)
    {
        auto& self = **static_cast<std::shared_ptr<Reported>*>(data);
        // Called once the promise is settled: the wait returns at once.
        const GstStructure* reply
            = gst_promise_wait(promise) == GST_PROMISE_RESULT_REPLIED ? gst_promise_get_reply(promise) : nullptr;
        if (reply) {
            self.take(reply);
        } else {
            std::lock_guard lock(self.mutex);
            self.pending = false;
        }
    }

    static void release(gpointer data) { delete static_cast<std::shared_ptr<Reported>*>(data); }
};

WebRtcStatistics::WebRtcStatistics()
    : m_reported(std::make_shared<Reported>())
{
}

bool WebRtcStatistics::poll(GstElement* source)
{
    ElementPtr webrtc(WhepSource::webrtcOf(source));
    if (!webrtc)
        return false;
    std::uint64_t received = 0, lost = 0, recovered = 0;
    std::int32_t latencyMs = 0;
    double rttMs = 0.0;
    GstIterator* it = gst_bin_iterate_recurse(GST_BIN(webrtc.get()));
    GValue item = G_VALUE_INIT;
    while (gst_iterator_next(it, &item) == GST_ITERATOR_OK) {
        auto* element = GST_ELEMENT(g_value_get_object(&item));
        if (factoryName(element) == "rtpjitterbuffer") {
            GstStructure* raw = nullptr;
            guint latency = 0;
            g_object_get(element, "stats", &raw, "latency", &latency, nullptr);
            StructurePtr stats(raw);
            if (stats) {
                received += StructureUint64(stats.get(), "num-pushed");
                lost += StructureUint64(stats.get(), "num-lost");
                recovered += StructureUint64(stats.get(), "rtx-success-count");
                // ns; an estimate made from the repairs' own round trips.
                rttMs = std::max(rttMs, static_cast<double>(StructureUint64(stats.get(), "rtx-rtt")) / 1e6);
            }
            latencyMs = std::max(latencyMs, static_cast<std::int32_t>(latency));
        }
        g_value_reset(&item);
    }
    g_value_unset(&item);
    gst_iterator_free(it);
    m_received = received;
    m_lost = lost;
    m_recovered = recovered;
    m_jitterBufferMs = latencyMs;
    if (rttMs > 0.0)
        m_repairRttMs = rttMs;
    guint64 bytes = 0;
    g_object_get(source, "rtp-bytes", &bytes, nullptr);
    m_rtpBytes = bytes;

    const std::int64_t now = g_get_monotonic_time();
    if (now - m_lastRequestUs >= kRequestPeriodUs) {
        std::lock_guard lock(m_reported->mutex);
        if (!m_reported->pending) {
            m_reported->pending = true;
            m_lastRequestUs = now;
            GstPromise* promise = gst_promise_new_with_change_func(
                &Reported::answered, new std::shared_ptr<Reported>(m_reported), &Reported::release);
            g_signal_emit_by_name(webrtc.get(), "get-stats", nullptr, promise);
            gst_promise_unref(promise);
        }
    }
    return true;
}

std::int64_t WebRtcStatistics::senderBitRate() const
{
    std::lock_guard lock(m_reported->mutex);
    const auto& sender = m_reported->sender;
    if (sender.size() < 2 || sender.back().timeUs <= sender.front().timeUs)
        return 0;
    return static_cast<std::int64_t>(static_cast<double>(sender.back().bytes - sender.front().bytes) * 8.0 * 1e6
                                     / static_cast<double>(sender.back().timeUs - sender.front().timeUs));
}

void WebRtcStatistics::fill(NetworkFigures& figures) const
{
    std::lock_guard lock(m_reported->mutex);
    figures.webrtcJitterMs = m_reported->jitterS * 1000.0;
    figures.webrtcNackCount = static_cast<std::int64_t>(m_reported->nacks);
    figures.webrtcPliCount = static_cast<std::int64_t>(m_reported->plis);
    figures.webrtcRoundTripMs = m_repairRttMs;
    figures.webrtcJitterBufferMs = m_jitterBufferMs;
}

} // namespace zephyrscope

#include "WebRtcStatistics.h"

#include "FactoryName.h"
#include "GstHandles.h"
#include "GstStructureFields.h"
#include "WhepSource.h"

#include <algorithm>
#include <deque>
#include <map>
#include <mutex>
#include <vector>

namespace zephyrscope {

using namespace gsthandles;

namespace {

constexpr std::int64_t kRequestPeriodUs = 1000000;
// Sender reports come every few seconds: the sender's rate is taken over this.
constexpr double kSenderRateWindowS = 10.0;
constexpr double kNtpFractionsPerSecond = 4294967296.0; // NTP times are 32.32 fixed point

// The sources of a session's "stats" (a GValueArray in 1.22; a GstValueArray is read too).
std::vector<const GstStructure*> sourceStats(const GstStructure* session)
{
    std::vector<const GstStructure*> sources;
    const GValue* value = gst_structure_get_value(session, "source-stats");
    auto take = [&](const GValue* item) {
        if (item && GST_VALUE_HOLDS_STRUCTURE(item))
            sources.push_back(gst_value_get_structure(item));
    };
    if (!value)
        return sources;
    if (GST_VALUE_HOLDS_ARRAY(value)) {
        for (guint i = 0; i < gst_value_array_get_size(value); ++i)
            take(gst_value_array_get_value(value, i));
    } else {
        // rtpsession still builds it as a GValueArray, deprecated since GLib 2.32.
        G_GNUC_BEGIN_IGNORE_DEPRECATIONS
        if (G_VALUE_HOLDS(value, g_value_array_get_type())) {
            const auto* array = static_cast<const GValueArray*>(g_value_get_boxed(value));
            for (guint i = 0; array && i < array->n_values; ++i)
                take(g_value_array_get_nth(const_cast<GValueArray*>(array), i));
        }
        G_GNUC_END_IGNORE_DEPRECATIONS
    }
    return sources;
}

} // namespace

struct WebRtcStatistics::Reported {
    std::mutex mutex;
    bool pending = false;
    double jitterS = 0.0;
    std::uint64_t plis = 0;

    // webrtcbin's thread: one answer to get-stats.
    void take(const GstStructure* stats)
    {
        double jitter = 0.0;
        std::uint64_t pliSum = 0;
        std::lock_guard lock(mutex);
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
                pliSum += StructureUint64(entry, "pli-count");
            }
        }
        pending = false;
        jitterS = jitter;
        plis = pliSum;
    }

    static void answered(GstPromise* promise, gpointer data)
    {
        auto& self = heldState<Reported>(data);
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
};

WebRtcStatistics::WebRtcStatistics()
    : m_reported(std::make_shared<Reported>())
{
}

std::optional<SourcePackets> WebRtcStatistics::poll(const StreamCounters&, GstElement* source, bool)
{
    ElementPtr webrtc(WhepSource::webrtcOf(source));
    if (!webrtc)
        return std::nullopt;
    std::uint64_t received = 0, lost = 0, recovered = 0, sessionNacks = 0;
    std::int32_t latencyMs = 0;
    double rttMs = 0.0;
    forEachObject<GstElement>(gst_bin_iterate_recurse(GST_BIN(webrtc.get())), [&](GstElement* element) {
        const std::string factory = factoryName(element);
        if (factory == "rtpsession") {
            if (const StructurePtr stats = structureProperty(element, "stats")) {
                takeSenderReports(stats.get());
                sessionNacks += StructureUint64(stats.get(), "sent-nack-count");
            }
        } else if (factory == "rtpjitterbuffer") {
            guint latency = 0;
            g_object_get(element, "latency", &latency, nullptr);
            if (const StructurePtr stats = structureProperty(element, "stats")) {
                received += StructureUint64(stats.get(), "num-pushed");
                lost += StructureUint64(stats.get(), "num-lost");
                recovered += StructureUint64(stats.get(), "rtx-success-count");
                // ns; an estimate made from the repairs' own round trips.
                rttMs = std::max(rttMs, static_cast<double>(StructureUint64(stats.get(), "rtx-rtt")) / 1e6);
            }
            latencyMs = std::max(latencyMs, static_cast<std::int32_t>(latency));
        }
    });
    // A jitter buffer that asks for repairs also gives up, once the sender has
    // stopped, on the packet after its last one, which never existed: a loss
    // counts only while packets still come in after it.
    if (received != m_received || lost < m_lost)
        m_lost = lost;
    m_received = received;
    m_nacksSent = sessionNacks;
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
                &Reported::answered, holdForCallback(m_reported), &releaseHeld<Reported>);
            g_signal_emit_by_name(webrtc.get(), "get-stats", nullptr, promise);
            gst_promise_unref(promise);
        }
    }
    return SourcePackets {m_received, m_lost, m_recovered, m_rtpBytes};
}

void WebRtcStatistics::takeSenderReports(const GstStructure* sessionStats)
{
    for (const GstStructure* source : sourceStats(sessionStats)) {
        gboolean haveReport = FALSE;
        guint ssrc = 0;
        guint64 ntpTime = 0;
        guint octets = 0;
        if (!gst_structure_get_boolean(source, "have-sr", &haveReport) || !haveReport
            || !gst_structure_get_uint(source, "ssrc", &ssrc) || !gst_structure_get_uint64(source, "sr-ntptime", &ntpTime)
            || !gst_structure_get_uint(source, "sr-octet-count", &octets))
            continue;
        const double senderTimeS = static_cast<double>(ntpTime) / kNtpFractionsPerSecond;
        auto& samples = m_sender[ssrc];
        // The report's 32-bit count wraps, or the sender started again: start over.
        if (!samples.empty() && octets < samples.back().octets)
            samples.clear();
        if (samples.empty() || senderTimeS > samples.back().senderTimeS)
            samples.push_back({senderTimeS, octets});
        while (samples.size() > 2 && samples[1].senderTimeS <= senderTimeS - kSenderRateWindowS)
            samples.pop_front();
    }
}

std::int64_t WebRtcStatistics::senderBitRate() const
{
    double rate = 0.0;
    for (const auto& [ssrc, samples] : m_sender) {
        if (samples.size() < 2)
            continue;
        rate += static_cast<double>(samples.back().octets - samples.front().octets) * 8.0
            / (samples.back().senderTimeS - samples.front().senderTimeS);
    }
    return static_cast<std::int64_t>(rate);
}

void WebRtcStatistics::fill(NetworkFigures& figures) const
{
    std::lock_guard lock(m_reported->mutex);
    figures.webrtcJitterMs = m_reported->jitterS * 1000.0;
    figures.webrtcNackCount = static_cast<std::int64_t>(m_nacksSent);
    figures.webrtcPliCount = static_cast<std::int64_t>(m_reported->plis);
    figures.webrtcRoundTripMs = m_repairRttMs;
    figures.webrtcJitterBufferMs = m_jitterBufferMs;
}

} // namespace zephyrscope

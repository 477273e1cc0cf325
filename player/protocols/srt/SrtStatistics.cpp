#include "SrtStatistics.h"

#include "GstHandles.h"
#include "GstStructureFields.h"

#include <gst/gst.h>

#include <algorithm>

namespace zephyrscope {

using namespace gsthandles;

std::optional<SourcePackets> SrtStatistics::poll(const StreamCounters& counters, GstElement* source, bool)
{
    GstStructure* raw = nullptr;
    g_object_get(source, "stats", &raw, nullptr);
    StructurePtr stats(raw);
    if (stats) {
        m_lossDetected = std::max(m_lossDetected, StructureUint64(stats.get(), "packets-received-lost"));
        m_networkBytes = std::max(m_networkBytes.value_or(0), StructureUint64(stats.get(), "bytes-received"));
        // Absent once the connection has gone: the last values stand.
        gdouble rttMs = 0.0;
        if (gst_structure_get_double(stats.get(), "rtt-ms", &rttMs))
            m_roundTripMs = rttMs;
        gint latencyMs = 0;
        if (gst_structure_get_int(stats.get(), "negotiated-latency-ms", &latencyMs))
            m_receiverLatencyMs = latencyMs;
    }
    SourcePackets packets;
    packets.received = counters.buffers();
    packets.lost = counters.neverDelivered();
    packets.recovered = m_lossDetected > packets.lost ? m_lossDetected - packets.lost : 0;
    packets.networkBytes = m_networkBytes;
    return packets;
}

void SrtStatistics::fill(NetworkFigures& figures) const
{
    figures.srtRoundTripMs = m_roundTripMs;
    figures.srtReceiverLatencyMs = m_receiverLatencyMs;
}

} // namespace zephyrscope

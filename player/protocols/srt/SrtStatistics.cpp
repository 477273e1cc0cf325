#include "SrtStatistics.h"

#include "GstHandles.h"
#include "GstStructureFields.h"

#include <gst/gst.h>

#include <algorithm>

namespace zephyrscope {

using namespace gsthandles;

namespace {

// How long after its packet's latency ran out a gap's fate may still be
// unknown to us: srtsrc reports the gap when it reads the packet after it.
constexpr std::int64_t kSettleMarginUs = 1000000;

} // namespace

std::optional<SourcePackets> SrtStatistics::poll(const StreamCounters& counters, GstElement* source, bool)
{
    const std::int64_t now = g_get_monotonic_time();
    if (const StructurePtr stats = structureProperty(source, "stats")) {
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
    if (packets.received != m_delivered) {
        m_delivered = packets.received;
        m_lastDeliveryUs = now;
    }
    packets.lost = counters.neverDelivered();
    if (m_lossHistory.empty() || m_lossHistory.back().detected != m_lossDetected)
        m_lossHistory.push_back({now, m_lossDetected});
    const std::int64_t settledBefore
        = std::min(now - (std::int64_t {m_receiverLatencyMs} * 1000 + kSettleMarginUs), m_lastDeliveryUs);
    while (m_lossHistory.size() > 1 && m_lossHistory[1].timeUs <= settledBefore)
        m_lossHistory.pop_front();
    const std::uint64_t settled = m_lossHistory.front().timeUs <= settledBefore ? m_lossHistory.front().detected : 0;
    packets.recovered = settled > packets.lost ? settled - packets.lost : 0;
    packets.networkBytes = m_networkBytes;
    return packets;
}

void SrtStatistics::fill(NetworkFigures& figures) const
{
    figures.srtRoundTripMs = m_roundTripMs;
    figures.srtReceiverLatencyMs = m_receiverLatencyMs;
}

} // namespace zephyrscope

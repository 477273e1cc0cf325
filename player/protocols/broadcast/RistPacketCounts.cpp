#include "RistPacketCounts.h"

#include <gst/gst.h>
#include <gst/rtp/gstrtpbuffer.h>

namespace zephyrscope {

namespace {

constexpr std::size_t kRtpHeaderBytes = 12;
// A sequence number at most this far ahead is the next one after a gap of
// lost packets; further, it is behind (a packet the jitter buffer let through
// late): as RTP receivers judge, half the 16-bit sequence space.
constexpr std::uint16_t kMaxForwardJump = 0x8000;

GQuark countsQuark()
{
    static const GQuark quark = g_quark_from_static_string("zephyrscope-rist-packet-counts");
    return quark;
}

void countBuffer(RistPacketCounts& counts, GstBuffer* buffer)
{
    guint8 header[kRtpHeaderBytes];
    if (gst_buffer_extract(buffer, 0, header, sizeof header) != sizeof header || (header[0] >> 6) != 2)
        return;
    const auto sequence = static_cast<std::uint16_t>((header[2] << 8) | header[3]);
    counts.packetDelivered(sequence, GST_BUFFER_FLAG_IS_SET(buffer, GST_RTP_BUFFER_FLAG_RETRANSMISSION));
}

GstPadProbeReturn onDelivered(GstPad*, GstPadProbeInfo* info, gpointer data)
{
    auto& counts = *static_cast<RistPacketCounts*>(data);
    if (GstBuffer* buffer = GST_PAD_PROBE_INFO_BUFFER(info); buffer && (info->type & GST_PAD_PROBE_TYPE_BUFFER)) {
        countBuffer(counts, buffer);
    } else if (GstBufferList* list = GST_PAD_PROBE_INFO_BUFFER_LIST(info);
               list && (info->type & GST_PAD_PROBE_TYPE_BUFFER_LIST)) {
        const guint length = gst_buffer_list_length(list);
        for (guint i = 0; i < length; ++i)
            countBuffer(counts, gst_buffer_list_get(list, i));
    }
    return GST_PAD_PROBE_OK;
}

void releaseCounts(gpointer data)
{
    delete static_cast<RistPacketCounts*>(data);
}

} // namespace

void RistPacketCounts::watch(GstElement* ristsrc)
{
    GstPad* pad = gst_element_get_static_pad(ristsrc, "src");
    if (!pad)
        return;
    auto* counts = new RistPacketCounts;
    // The element owns the counts; the probe, removed with the pad, only borrows them.
    g_object_set_qdata_full(G_OBJECT(ristsrc), countsQuark(), counts, releaseCounts);
    gst_pad_add_probe(pad, static_cast<GstPadProbeType>(GST_PAD_PROBE_TYPE_BUFFER | GST_PAD_PROBE_TYPE_BUFFER_LIST),
                      onDelivered, counts, nullptr);
    gst_object_unref(pad);
}

std::optional<RistPacketCounts::Counts> RistPacketCounts::of(GstElement* ristsrc)
{
    const auto* counts = static_cast<const RistPacketCounts*>(g_object_get_qdata(G_OBJECT(ristsrc), countsQuark()));
    if (!counts)
        return std::nullopt;
    return counts->counts();
}

void RistPacketCounts::packetDelivered(std::uint16_t sequence, bool retransmission)
{
    if (m_started) {
        const auto ahead = static_cast<std::uint16_t>(sequence - m_lastSequence);
        if (ahead == 0 || ahead >= kMaxForwardJump)
            return;
        m_lost.fetch_add(ahead - 1u);
    }
    m_started = true;
    m_lastSequence = sequence;
    m_received.fetch_add(1);
    if (retransmission)
        m_recovered.fetch_add(1);
}

RistPacketCounts::Counts RistPacketCounts::counts() const
{
    return Counts {m_received.load(), m_lost.load(), m_recovered.load()};
}

} // namespace zephyrscope

#include "RtpJitterBuffers.h"

#include "FactoryName.h"
#include "GstHandles.h"
#include "GstStructureFields.h"

#include <gst/gst.h>

#include <algorithm>

namespace zephyrscope {

using namespace gsthandles;

std::optional<SourcePackets> RtpJitterBuffers::poll(const StreamCounters&, GstElement* source, bool playing)
{
    SourcePackets packets;
    std::uint64_t jitterNs = 0;
    bool udp = false;
    forEachObject<GstElement>(gst_bin_iterate_recurse(GST_BIN(source)), [&](GstElement* element) {
        const std::string factory = factoryName(element);
        if (factory == m_children.jitterBuffer) {
            if (const StructurePtr stats = structureProperty(element, "stats")) {
                packets.received += StructureUint64(stats.get(), "num-pushed");
                packets.lost += StructureUint64(stats.get(), "num-lost");
                packets.recovered += StructureUint64(stats.get(), "rtx-success-count");
                jitterNs = std::max(jitterNs, StructureUint64(stats.get(), "avg-jitter"));
            }
        } else if (std::ranges::find(m_children.udpReceivers, factory) != m_children.udpReceivers.end()) {
            udp = true;
        }
    });
    if (packets.received > 0)
        m_jitterMs = static_cast<double>(jitterNs) / 1e6;
    if (playing || packets.received > 0)
        m_rtpOverUdp = udp;
    return packets;
}

void RtpJitterBuffers::fill(NetworkFigures& figures) const
{
    figures.rtpJitterMs = m_jitterMs;
}

} // namespace zephyrscope

#include "BroadcastPackets.h"

#include "BroadcastSource.h"

namespace zephyrscope {

std::optional<SourcePackets> BroadcastPackets::poll(const StreamCounters& counters, GstElement* source, bool)
{
    const auto packets = BroadcastSource::poll(source, counters);
    if (!packets)
        return std::nullopt;
    m_roundTripMs = packets->roundTripMs.value_or(m_roundTripMs);
    return SourcePackets {packets->received, packets->lost, packets->recovered, std::nullopt};
}

void BroadcastPackets::fill(NetworkFigures& figures) const
{
    figures.ristRoundTripMs = m_roundTripMs;
}

} // namespace zephyrscope

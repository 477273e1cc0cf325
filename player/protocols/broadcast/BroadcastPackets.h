#pragma once

// The packets of a UDP or RIST entry as its transport counts them (see
// BroadcastSource::poll), and RIST's retransmission round trip.
// Private to player/. Thread: the main loop's.

#include "PlayerProtocol.h"

namespace zephyrscope {

class BroadcastPackets : public SourceMeasurement {
public:
    std::optional<SourcePackets> poll(const StreamCounters& counters, GstElement* source, bool playing) override;
    void fill(NetworkFigures& figures) const override;

private:
    // RIST: the last retransmission round trip ristsrc measured.
    double m_roundTripMs = 0.0;
};

} // namespace zephyrscope

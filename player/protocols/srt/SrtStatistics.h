#pragma once

// The packets of an SRT entry as srtsrc counts them. Received: the data
// packets srtsrc delivered, one buffer each (SRT live mode hands over one
// packet per read). Lost: the packets the receiver gave up on, the gaps in what
// it delivered (SrtDeliveryGaps). Recovered: the sequence gaps SRT detected
// less those never filled, so the packets retransmission brought in time. A
// gap whose retransmission is still awaited counts as recovered until it is
// given up. Private to player/. Thread: the main loop's.

#include "PlayerProtocol.h"

namespace zephyrscope {

class SrtStatistics : public SourceMeasurement {
public:
    std::optional<SourcePackets> poll(const StreamCounters& counters, GstElement* source, bool playing) override;
    void fill(NetworkFigures& figures) const override;

private:
    // Bytes of the data packets that came off the network (headers and
    // retransmissions included), and sequence gaps detected; kept at their
    // highest, as srtsrc's stats empty when its connection goes.
    std::optional<std::uint64_t> m_networkBytes;
    std::uint64_t m_lossDetected = 0;
    // The last round-trip time and negotiated latency srtsrc reported.
    double m_roundTripMs = 0.0;
    std::int32_t m_receiverLatencyMs = 0;
};

} // namespace zephyrscope

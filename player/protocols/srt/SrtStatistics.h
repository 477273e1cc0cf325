#pragma once

// The packets of an SRT entry as srtsrc counts them. Received: the data
// packets srtsrc delivered, one buffer each (SRT live mode hands over one
// packet per read). Lost: the packets the receiver gave up on, the gaps in what
// it delivered (SrtDeliveryGaps). Recovered: the sequence gaps SRT detected
// less those never filled, so the packets retransmission brought in time. A
// gap is only counted so once its fate is known: its packet was due by the
// receiver's latency after the gap was seen, so gaps seen more than that
// latency (and a margin for the read that delivers the next packet) ago are
// settled; a gap still awaiting its retransmission counts as neither. A loss
// SRT learns of after the last packet it delivered (the sender's drop request
// for a packet at the stream's end) was mended by nothing: only gaps detected
// while packets were still being delivered may count as recovered. Private to
// player/. Thread: the main loop's.

#include "PlayerProtocol.h"

#include <deque>

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
    // When the gaps detected reached each count, back to the last one settled.
    struct LossSample {
        std::int64_t timeUs;
        std::uint64_t detected;
    };
    std::deque<LossSample> m_lossHistory;
    // The packets delivered at the last poll, and when they last grew.
    std::uint64_t m_delivered = 0;
    std::int64_t m_lastDeliveryUs = 0;
    // The last round-trip time and negotiated latency srtsrc reported.
    double m_roundTripMs = 0.0;
    std::int32_t m_receiverLatencyMs = 0;
};

} // namespace zephyrscope

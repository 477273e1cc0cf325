#pragma once

// The packets of a source that receives RTP through jitter buffers of its own
// (rtspsrc, rtpsrc): received, lost and repaired as the jitter buffers count
// them, summed over the streams, and the largest average jitter. Shared by the
// protocols that carry RTP. Private to player/. Thread: the main loop's.

#include "PlayerProtocol.h"

namespace zephyrscope {

class RtpJitterBuffers : public SourceMeasurement {
public:
    std::optional<SourcePackets> poll(const StreamCounters& counters, GstElement* source, bool playing) override;
    void fill(NetworkFigures& figures) const override;
    std::optional<bool> rtpOverUdp() const override { return m_rtpOverUdp; }

private:
    std::optional<bool> m_rtpOverUdp;
    // The largest average jitter of the jitter buffers, once packets came.
    std::optional<double> m_jitterMs;
};

} // namespace zephyrscope

#pragma once

// The packets of a source that receives RTP through jitter buffers of its own:
// received, lost and repaired as the jitter buffers count them, summed over the
// streams, and the largest average jitter. Shared by the protocols that carry
// RTP; the protocol's room says which of its source's children to read.
// Private to player/. Thread: the main loop's.

#include "PlayerProtocol.h"

#include <span>
#include <string_view>

namespace zephyrscope {

class RtpJitterBuffers : public SourceMeasurement {
public:
    // The factories of the source's children to look for.
    struct Children {
        // The jitter buffers, whose stats count the packets.
        std::string_view jitterBuffer;
        // What receives over UDP: one of them among the children means RTP
        // arrives over UDP, none that it arrives over TCP.
        std::span<const std::string_view> udpReceivers;
    };
    explicit RtpJitterBuffers(Children children)
        : m_children(children)
    {
    }

    std::optional<SourcePackets> poll(const StreamCounters& counters, GstElement* source, bool playing) override;
    void fill(NetworkFigures& figures) const override;
    std::optional<bool> rtpOverUdp() const override { return m_rtpOverUdp; }

private:
    const Children m_children;
    std::optional<bool> m_rtpOverUdp;
    // The largest average jitter of the jitter buffers, once packets came.
    std::optional<double> m_jitterMs;
};

} // namespace zephyrscope

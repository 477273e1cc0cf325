#pragma once

// The streaming statistics of one entry. Gathered on the main loop from bus
// messages, the streaming threads' counters and, for RTSP, the jitter buffers;
// read back as one set of figures. Private to player/.

#include "AdaptiveManifest.h"
#include "NetworkFigures.h"
#include "StreamCounters.h"
#include "WebRtcStatistics.h"

#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <string>
#include <vector>

typedef struct _GstElement GstElement;

namespace zephyrscope {

class EntryStatistics {
public:
    void bufferingPercent(std::int32_t percent) { m_bufferingProgress = percent; }
    // Whether the entry buffers now, told whenever that may have changed: an
    // episode counts once, as it begins, whatever caused it and however many
    // causes it gathers before it ends.
    void buffering(bool now)
    {
        if (now && !m_buffering)
            ++m_bufferingCount;
        m_buffering = now;
    }
    // Frames one element dropped so far (QoS), by the element's path.
    void framesDropped(const std::string& element, std::uint64_t dropped) { m_qosDropped[element] = dropped; }
    // A bit rate a stream's tags announce, by the element that posted them.
    void taggedBitrate(const std::string& element, std::uint32_t bitrate) { m_tagBitrates[element] = bitrate; }
    void sourceSize(std::int64_t bytes) { m_sourceBytes = bytes; }
    // An adaptive stream's variants, from its manifest.
    void variants(std::vector<AdaptiveVariant> variants) { m_variants = std::move(variants); }
    bool hasVariants() const { return !m_variants.empty(); }
    // The declared bandwidth of the variant the demuxer switched to (bit/s).
    void variantChosen(std::int64_t bandwidth) { m_variantChosen = bandwidth; }

    // Takes one sample: bytes for the bit rate, packets for reception. source is
    // the entry's source element (may be null); for rtspsrc the packets come from
    // its jitter buffers, for srtsrc from its stats and delivery gaps, otherwise
    // buffersArePackets says whether the source's data buffers count as packets
    // (network) or not (local file).
    void poll(const StreamCounters& counters, GstElement* source, bool buffersArePackets, bool playing);

    // Whether RTP arrives over UDP (true) or TCP (false); unknown before data flows.
    std::optional<bool> rtpOverUdp() const { return m_rtpOverUdp; }

    // Fills the measured figures. flowing: a pipeline exists, so rates are current; durationS: the clip's length.
    void fill(NetworkFigures& figures, const StreamCounters& counters, bool flowing, double durationS) const;

private:
    void pollRtsp(GstElement* source, bool playing);
    void pollSrt(const StreamCounters& counters, GstElement* source);

    struct ByteSample {
        std::int64_t timeUs;
        std::uint64_t bytes;
    };
    struct LossSample {
        std::int64_t timeUs;
        std::uint64_t detected;
    };
    struct PacketSample {
        std::int64_t timeUs;
        std::uint64_t received, lost;
    };

    std::int32_t m_bufferingProgress = 0;
    std::int32_t m_bufferingCount = 0;
    bool m_buffering = false;
    std::map<std::string, std::uint64_t> m_qosDropped;
    std::map<std::string, std::uint32_t> m_tagBitrates;
    std::int64_t m_sourceBytes = 0;
    std::vector<AdaptiveVariant> m_variants;
    std::int64_t m_variantChosen = 0;
    std::uint64_t m_received = 0, m_lost = 0, m_recovered = 0;
    std::optional<bool> m_rtpOverUdp;
    // SRT: bytes of the data packets that came off the network (headers and
    // retransmissions included), and sequence gaps detected; kept at their
    // highest, as srtsrc's stats empty when its connection goes.
    std::optional<std::uint64_t> m_networkBytes;
    std::uint64_t m_lossDetected = 0;
    // SRT: when the gaps detected reached each count, back to the last one settled.
    std::deque<LossSample> m_lossHistory;
    // SRT: the last round-trip time and negotiated latency srtsrc reported.
    double m_srtRoundTripMs = 0.0;
    std::int32_t m_srtReceiverLatencyMs = 0;
    // RTSP: the largest average jitter of the entry's jitter buffers, once packets came.
    std::optional<double> m_rtpJitterMs;
    // RIST: the last retransmission round trip ristsrc measured.
    double m_ristRoundTripMs = 0.0;
    std::deque<ByteSample> m_byteHistory;
    std::deque<PacketSample> m_packetHistory;
    WebRtcStatistics m_webrtc;
};

} // namespace zephyrscope

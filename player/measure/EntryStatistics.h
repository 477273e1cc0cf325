#pragma once

// The streaming statistics of one entry. Gathered on the main loop from bus
// messages, the streaming threads' counters and the measurements of the
// entry's protocol (its descriptor's); read back as one set of figures.
// Private to player/.

#include "AdaptiveManifest.h"
#include "NetworkFigures.h"
#include "PlayerProtocol.h"
#include "StreamCounters.h"

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

typedef struct _GstElement GstElement;

namespace zephyrscope {

class EntryStatistics {
public:
    // protocols: the descriptors the entry's source is looked up in, kept for ever.
    explicit EntryStatistics(std::span<const PlayerProtocol* const> protocols)
        : m_protocols(protocols)
    {
    }

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
    // the entry's source element (may be null); the packets come from its
    // protocol's measurement when it has one, else from an adaptive demuxer's
    // segments, else buffersArePackets says whether the source's data buffers
    // count as packets (network) or not (local file).
    void poll(const StreamCounters& counters, GstElement* source, bool buffersArePackets, bool playing);

    // Whether RTP arrives over UDP (true) or TCP (false); unknown before data flows.
    std::optional<bool> rtpOverUdp() const
    {
        return m_sourceMeasurement ? m_sourceMeasurement->rtpOverUdp() : std::nullopt;
    }

    // Fills the measured figures. flowing: a pipeline exists, so rates are current; durationS: the clip's length.
    void fill(NetworkFigures& figures, const StreamCounters& counters, bool flowing, double durationS) const;

private:
    // The parts of fill: what is counted as it stands; the bit rate over the
    // last second (now: the monotonic clock, us) and the declared bandwidth, in
    // bit/s, and the reception quality in percent; nullopt where the figure
    // stays as it was.
    void fillCounts(NetworkFigures& figures, const StreamCounters& counters) const;
    std::optional<std::int32_t> bitRate(const StreamCounters& counters, std::int64_t now) const;
    std::optional<std::int32_t> bandWidth(const StreamCounters& counters, double durationS) const;
    std::optional<std::int32_t> receptionQuality(const StreamCounters& counters) const;

    struct ByteSample {
        std::int64_t timeUs;
        std::uint64_t bytes;
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
    // What came off the network as the protocol counts it, when it counts.
    std::optional<std::uint64_t> m_networkBytes;
    std::deque<ByteSample> m_byteHistory;
    std::deque<PacketSample> m_packetHistory;
    const std::span<const PlayerProtocol* const> m_protocols;
    // The source's protocol's measurements, made when the source first shows.
    std::unique_ptr<SourceMeasurement> m_sourceMeasurement;
    bool m_sourceSeen = false;
};

} // namespace zephyrscope

#include "EntryStatistics.h"

#include "FactoryName.h"

#include <gst/gst.h>

#include <algorithm>
#include <cmath>

namespace zephyrscope {

namespace {

constexpr std::int64_t kRateWindowUs = 1000000;     // bit rate over about the last second
constexpr std::int64_t kMinRateSpanUs = 200000;     // too short a span gives no rate yet
constexpr std::int64_t kQualityWindowUs = 30000000; // reception quality over the last 30 s
constexpr std::int64_t kQualityStepUs = 1000000;    // one reception sample a second is plenty

std::int32_t clampToInt32(double value)
{
    if (value <= 0.0)
        return 0;
    if (value >= 2147483647.0)
        return 2147483647;
    return static_cast<std::int32_t>(std::lround(value));
}

} // namespace

void EntryStatistics::poll(const StreamCounters& counters, GstElement* source, bool buffersArePackets, bool playing)
{
    const std::int64_t now = g_get_monotonic_time();
    const std::uint64_t received = m_received, lost = m_lost, recovered = m_recovered;
    if (source && !m_sourceSeen) {
        m_sourceSeen = true;
        const PlayerProtocol* protocol = protocolOfSource(m_protocols, factoryName(source));
        if (protocol && protocol->measurement)
            m_sourceMeasurement = protocol->measurement();
    }
    const auto packets = source && m_sourceMeasurement ? m_sourceMeasurement->poll(counters, source, playing)
                                                       : std::nullopt;
    if (packets) {
        m_received = packets->received;
        m_lost = packets->lost;
        m_recovered = packets->recovered;
        if (packets->networkBytes)
            m_networkBytes = packets->networkBytes;
    } else if (counters.adaptive() != nullptr) {
        // Adaptive streams: a packet is a segment, downloaded or failed.
        m_received = counters.segmentsReceived();
        m_lost = counters.segmentsFailed();
        m_recovered = 0;
    } else if (buffersArePackets) {
        m_received = counters.buffers();
        m_lost = 0;
        m_recovered = 0;
    }

    // An entry's packet counts only grow: a transport's own counters may fall
    // back (stats that empty when a connection or element goes), the entry's do not.
    m_received = std::max(m_received, received);
    m_lost = std::max(m_lost, lost);
    m_recovered = std::max(m_recovered, recovered);

    m_byteHistory.push_back({now, m_networkBytes ? *m_networkBytes : counters.bytes()});
    while (m_byteHistory.size() > 2 && m_byteHistory[1].timeUs <= now - kRateWindowUs)
        m_byteHistory.pop_front();

    if (m_packetHistory.empty() || now - m_packetHistory.back().timeUs >= kQualityStepUs)
        m_packetHistory.push_back({now, m_received, m_lost});
    while (m_packetHistory.size() > 1 && m_packetHistory.front().timeUs < now - kQualityWindowUs)
        m_packetHistory.pop_front();
}

void EntryStatistics::fill(NetworkFigures& figures, const StreamCounters& counters, bool flowing, double durationS) const
{
    fillCounts(figures, counters);
    if (flowing) {
        const std::int64_t now = g_get_monotonic_time();
        figures.frameRate = figures.transportOnly ? counters.streamFrameRateTimes100(now)
                                                  : counters.frameRateTimes100(now);
        if (const std::optional<std::int32_t> rate = bitRate(counters, now))
            figures.bitRate = *rate;
    }
    if (counters.videoKnown() && counters.fpsNumerator() > 0)
        figures.encodedFrameRate = clampToInt32(static_cast<double>(counters.fpsNumerator())
                                                / static_cast<double>(counters.fpsDenominator()));
    if (const std::optional<std::int32_t> declared = bandWidth(counters, durationS))
        figures.bandWidth = *declared;
    if (const std::optional<std::int32_t> quality = receptionQuality(counters))
        figures.receptionQuality = *quality;
}

void EntryStatistics::fillCounts(NetworkFigures& figures, const StreamCounters& counters) const
{
    figures.bufferingProgress = m_bufferingProgress;
    figures.bufferingCount = m_bufferingCount;
    figures.receivedPackets = clampToInt32(static_cast<double>(m_received));
    figures.lostPackets = clampToInt32(static_cast<double>(m_lost));
    figures.recoveredPackets = clampToInt32(static_cast<double>(m_recovered));
    std::uint64_t dropped = 0;
    for (const auto& [element, count] : m_qosDropped)
        dropped += count;
    // Parsed, not decoded: nothing is late to a decoder, so a frame skipped is
    // one missing from the stream's own timestamps.
    figures.transportOnly = counters.transportOnly();
    figures.framesSkipped
        = clampToInt32(static_cast<double>(figures.transportOnly ? counters.framesMissing() : dropped));
    if (m_sourceMeasurement)
        m_sourceMeasurement->fill(figures);
    figures.receivedBytes = m_networkBytes ? *m_networkBytes : counters.bytes();
    const TransportStreamWatch::Snapshot transportStream = counters.transportStream().snapshot();
    figures.transportStream = transportStream.seen;
    figures.transportErrors = transportStream.errors;
    if (const auto& gaps = transportStream.gaps) {
        figures.dataGaps = static_cast<std::int64_t>(gaps->gaps);
        figures.dataGapMs = gaps->gapUs / 1000;
        // Never below what the demuxer's analyser counts: the counters' count is the least that was lost.
        figures.lostEstimate
            = std::max<std::int64_t>(static_cast<std::int64_t>(gaps->lostEstimate), figures.lostPackets);
    }
    figures.pcrJitterMs = transportStream.pcrJitterMs;
    if (counters.videoKnown()) {
        figures.videoWidth = counters.width();
        figures.videoHeight = counters.height();
    }
    figures.startupMs = counters.startupMs();
    counters.content().fill(figures);
    counters.splices().fill(figures.splices, g_get_real_time() / 1000);
    if (const StreamCounters::SegmentDownload segment = counters.lastSegment(); segment.us > 0) {
        figures.segmentDownloadMs = static_cast<double>(segment.us) / 1000.0;
        figures.segmentBytes = static_cast<std::int64_t>(segment.bytes);
        figures.segmentThroughputBps
            = static_cast<double>(segment.bytes) * 8.0 * 1e6 / static_cast<double>(segment.us);
    }
}

std::optional<std::int32_t> EntryStatistics::bitRate(const StreamCounters& counters, std::int64_t now) const
{
    // Bit rate over the last second. The byte count a second ago lies between
    // two samples (100 ms apart); taken between them in proportion, the window
    // is a second long, so bytes that arrive in lumps (an adaptive demuxer's
    // 32 KiB reads) are not counted in one window too many now and then.
    // Bytes read from the source's stats are as new as the last poll.
    const std::uint64_t bytes = m_networkBytes ? *m_networkBytes : counters.bytes();
    if (m_networkBytes && !m_byteHistory.empty())
        now = m_byteHistory.back().timeUs;
    const std::int64_t from = now - kRateWindowUs;
    const ByteSample* base = nullptr;
    const ByteSample* after = nullptr;
    for (const auto& sample : m_byteHistory) {
        if (sample.timeUs <= from || !base)
            base = &sample;
        else if (!after)
            after = &sample;
    }
    if (!base || now - base->timeUs < kMinRateSpanUs)
        return std::nullopt;
    double baseBytes = static_cast<double>(base->bytes);
    if (base->timeUs <= from) {
        const ByteSample next = after ? *after : ByteSample {now, bytes};
        if (next.timeUs > base->timeUs)
            baseBytes += static_cast<double>(next.bytes - base->bytes) * static_cast<double>(from - base->timeUs)
                / static_cast<double>(next.timeUs - base->timeUs);
    }
    // An entry younger than a second received nothing before its first
    // sample, taken as it started: its bits are over the whole second all the same.
    return clampToInt32((static_cast<double>(bytes) - baseBytes) * 8.0 * 1e6 / static_cast<double>(kRateWindowUs));
}

std::optional<std::int32_t> EntryStatistics::bandWidth(const StreamCounters& counters, double durationS) const
{
    if (counters.adaptive() != nullptr) {
        // The declared bandwidth of the variant on screen: the one of the sink's
        // picture size; before the first picture, or for a size no variant
        // declares, the variant the demuxer fetches.
        std::int64_t fetched = m_variantChosen;
        const std::string requested = counters.variantRequested();
        for (const AdaptiveVariant& variant : m_variants) {
            if (!requested.empty() && variant.uri == requested)
                fetched = variant.bandwidth;
        }
        std::optional<std::int64_t> shown;
        if (counters.videoKnown())
            shown = AdaptiveManifest::bandwidthForSize(m_variants, counters.width(), counters.height(), fetched);
        return clampToInt32(static_cast<double>(shown ? *shown : fetched));
    }
    if (const std::int64_t sender = m_sourceMeasurement ? m_sourceMeasurement->senderBitRate() : 0; sender > 0)
        return clampToInt32(static_cast<double>(sender));
    std::uint64_t tagged = 0;
    for (const auto& [element, bitrate] : m_tagBitrates)
        tagged += bitrate;
    if (tagged > 0)
        return clampToInt32(static_cast<double>(tagged));
    if (m_sourceBytes > 0 && durationS > 0.0)
        return clampToInt32(static_cast<double>(m_sourceBytes) * 8.0 / durationS);
    return std::nullopt;
}

std::optional<std::int32_t> EntryStatistics::receptionQuality(const StreamCounters& counters) const
{
    // Packets received of those expected over the last 30 s; a lossless
    // transport is at 100 once data flows.
    if (m_packetHistory.empty())
        return counters.bytes() > 0 ? std::optional<std::int32_t>(100) : std::nullopt;
    const PacketSample& oldest = m_packetHistory.front();
    const double received = static_cast<double>(m_received - std::min(m_received, oldest.received));
    const double lost = static_cast<double>(m_lost - std::min(m_lost, oldest.lost));
    if (received + lost > 0.0)
        return clampToInt32(std::floor(received * 100.0 / (received + lost)));
    if (counters.bytes() > 0 || m_received > 0)
        return 100;
    return std::nullopt;
}

} // namespace zephyrscope

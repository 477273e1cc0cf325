#pragma once

// The reception figures of a WHEP entry, read from its webrtcbin.
//
// Packets are counted per SSRC on webrtcbin's own jitter buffers (one per
// stream received, RTX repairs merged in), summed: webrtcbin's `inbound-rtp`
// statistics of bundled streams credit every SSRC to the last jitter buffer
// made, so their packets-lost and repaired counts land on the wrong stream or
// nowhere. The sender's rate comes from its RTCP sender reports as webrtcbin's
// RTP session keeps them per SSRC (`source-stats`: `sr-octet-count` at
// `sr-ntptime`, the sender's own clock), and so do the NACKs sent (its
// `sent-nack-count`: each packet asked for again, read at every poll, where
// `get-stats`' `nack-count` lags behind). The rest comes from webrtcbin's
// `get-stats`, asked for once a second and answered on its own thread: jitter
// and PLIs sent (`inbound-rtp`, summed over SSRCs, which is where the mix-up
// cannot matter).
// Upstream fix: 7da5d03b29 "webrtcbin: Fixes for bundled statistics generation" (1.26.0).
// Thread: the main loop's, apart from the answers to get-stats.

#include "PlayerProtocol.h"

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <optional>

typedef struct _GstStructure GstStructure;

namespace zephyrscope {

class WebRtcStatistics : public SourceMeasurement {
public:
    WebRtcStatistics();

    // Takes a sample when source is a WHEP source with its webrtcbin; nothing
    // for any other element.
    std::optional<SourcePackets> poll(const StreamCounters& counters, GstElement* source, bool playing) override;

    // The sender's bit rate of RTP payload from its RTCP sender reports (bit/s),
    // over their last 10 s; 0 until two reports of a stream came.
    std::int64_t senderBitRate() const override;

    // The figures beyond the log's columns.
    void fill(NetworkFigures& figures) const override;

    struct Reported; // what get-stats last answered; shared with its callback

private:
    // A sender report: the payload octets sent by then, at the sender's time of it (NTP seconds).
    struct SenderSample {
        double senderTimeS;
        std::uint64_t octets;
    };
    void takeSenderReports(const GstStructure* sessionStats);

    std::map<std::uint32_t, std::deque<SenderSample>> m_sender; // by SSRC
    std::uint64_t m_received = 0, m_lost = 0, m_recovered = 0, m_nacksSent = 0;
    std::optional<std::uint64_t> m_rtpBytes;
    std::int32_t m_jitterBufferMs = 0;
    double m_repairRttMs = 0.0;
    std::int64_t m_lastRequestUs = 0;
    std::shared_ptr<Reported> m_reported;
};

} // namespace zephyrscope

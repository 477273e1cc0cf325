#pragma once

// A UDP relay on 127.0.0.1 in the media path of one RTP session: the sender
// sends its RTP to port() and its RTCP to rtcpPort(), and the relay passes them
// on to the receiver's two ports. The RTP packets meet an impairment
// (tools/impair: loss, an outage, a rate cap's drop-tail queue, delay with
// jitter); what it holds waits in a timer queue the relay thread drains between
// receives, so a held packet never blocks the receive of the ones behind it.
// RTCP is not impaired, and passes both ways: the sender's reports to the
// receiver's RTCP port, held as long as the last RTP packet and as far behind
// it as it came (a path keeps its order and spacing: a BYE must not overtake or
// catch up with the stream's last packets), and whatever
// the receiver sends to the relay's RTCP socket at once back to where the
// sender's RTCP came from (a receiver that reports to the sender's own address
// bypasses the relay, unimpaired as well).
//
// It counts, by RTP sequence number, what it passed on and what it dropped, so
// a receiver's received and lost figures have an exact truth, and how long it
// held what it passed on (the least, the most, the sum).
//
// Thread: one relay thread; counts() may be called from any thread. It stops
// with stop(), the destructor, or after maxLifetime, whichever comes first.

#include "DatagramSchedule.h"
#include "Impairment.h"
#include "RtpH264FrameDamage.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <set>
#include <string>
#include <thread>

namespace zephyrscope::tools {

class RtpSessionRelay {
public:
    struct Options {
        std::string receiverHost = "127.0.0.1";
        std::uint16_t receiverRtpPort = 0;
        std::uint16_t receiverRtcpPort = 0; // 0: the RTP port's next
        impair::Impairment::Params impairment;
        std::chrono::milliseconds maxLifetime = std::chrono::seconds(120);
    };

    struct Counts {
        std::uint64_t rtpIn = 0;          // RTP packets from the sender
        std::uint64_t forwarded = 0;      // of those, passed on
        std::uint64_t dropped = 0;        // of those, dropped by the impairment
        std::uint64_t trailingDrops = 0;  // dropped after the last one passed on: no receiver can see them
        // Sequence numbers between the first and last passed on that never were.
        std::uint64_t neverForwarded = 0;
        // The packets passed on that carry the last one's RTP timestamp: the
        // stream's last frame, which its sender's BYE follows closely.
        std::uint64_t lastFramePackets = 0;
        std::uint64_t rtcpToReceiver = 0; // the sender's RTCP packets passed on
        std::uint64_t rtcpToSender = 0;   // the receiver's RTCP packets passed back
        // How long the RTP packets passed on waited in the relay, in microseconds.
        std::int64_t leastHoldUs = 0, mostHoldUs = 0, totalHoldUs = 0;
        impair::Impairment::Counts impaired;
        // An H.264 stream's frames sent, its key frames, and the most frames a
        // receiver can show damaged after the drops, and of those the frames
        // that lost nothing themselves (RtpH264FrameDamage).
        std::uint64_t videoFrames = 0, keyFrames = 0, framesDamageBound = 0, framesDamagedWhole = 0;
    };

    explicit RtpSessionRelay(const Options& options);
    ~RtpSessionRelay();
    RtpSessionRelay(const RtpSessionRelay&) = delete;
    RtpSessionRelay& operator=(const RtpSessionRelay&) = delete;

    // Where the sender sends RTP (even) and RTCP (the next port).
    std::uint16_t port() const { return m_port; }
    std::uint16_t rtcpPort() const { return static_cast<std::uint16_t>(m_port + 1); }
    void stop();
    Counts counts() const;

private:
    void run();
    void relayRtp(const unsigned char* packet, std::size_t size);
    void sendDue();
    void sendRtp(const unsigned char* packet, std::size_t size);

    Options m_options;
    std::chrono::steady_clock::time_point m_end;
    int m_rtpIn = -1, m_rtcpIn = -1, m_rtpOut = -1, m_rtcpOut = -1;
    std::uint16_t m_port = 0;
    std::atomic<bool> m_stopping {false};
    mutable std::mutex m_mutex;
    Counts m_counts;
    RtpH264FrameDamage m_frameDamage; // under m_mutex
    impair::Impairment m_impairment;
    impair::DatagramSchedule m_schedule;     // relay thread only: RTP held
    impair::DatagramSchedule m_rtcpSchedule; // relay thread only: RTCP behind it
    std::int64_t m_lastRtpDepartureUs = 0;   // relay thread only
    std::int64_t m_lastRtpHoldUs = 0;        // relay thread only
    std::int64_t m_lastRtpArrivalUs = 0;     // relay thread only
    std::set<std::int64_t> m_forwarded;  // sequence numbers passed on, extended past 16 bits
    std::int64_t m_highestSequence = 0;
    std::uint32_t m_lastTimestamp = 0;
    std::thread m_thread;
};

} // namespace zephyrscope::tools

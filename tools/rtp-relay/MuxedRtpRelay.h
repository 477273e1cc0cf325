#pragma once

// A UDP relay on 127.0.0.1 in the one path of a WebRTC session, where RTP, RTCP,
// STUN and DTLS share a single port pair (bundled, RTCP multiplexed). The
// receiver (the player) reaches port(); the relay passes what it sends on to
// the sender's port from a socket of its own for each address the receiver
// sends from (as a NAT would), so the sender's ICE agent knows each of the
// receiver's candidates by one of the relay's addresses (a peer-reflexive
// candidate), and whatever it sends back comes through the relay too, to the
// receiver's address that socket stands for.
//
// The sender's RTP packets (told apart by their first two bytes, RFC 7983;
// their headers are clear under SRTP) meet an impairment (tools/impair: delay
// with jitter, a rate cap's drop-tail queue, loss, an outage), retransmissions
// as much as originals: one bottleneck carries both. The sender's other packets
// (RTCP, STUN, DTLS) are not impaired but keep their place and spacing behind
// the RTP held before them; the receiver's pass at once.
//
// It counts, per media SSRC, the originals it passed on by sequence number and
// those it dropped, and the retransmissions (any other SSRC) it passed on by
// SSRC and sequence number: whose originals they carry is encrypted, so a
// caller that knows (the sender) joins them with droppedOriginals().
//
// Thread: one relay thread; the counts may be read from any thread. It stops
// with stop(), the destructor, or after maxLifetime, whichever comes first.

#include "DatagramSchedule.h"
#include "Impairment.h"

#include <netinet/in.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <set>
#include <thread>
#include <utility>
#include <vector>

namespace zephyrscope::tools {

class MuxedRtpRelay {
public:
    struct Options {
        std::uint16_t senderPort = 0; // on 127.0.0.1
        std::vector<std::uint32_t> mediaSsrcs; // the originals' streams; other RTP is retransmission
        impair::Impairment::Params impairment;
        std::chrono::milliseconds maxLifetime = std::chrono::seconds(120);
    };

    struct MediaCounts {
        std::uint64_t originals = 0;      // RTP packets of the stream from the sender
        std::uint64_t forwarded = 0;      // of those, passed on
        std::uint64_t dropped = 0;        // of those, dropped by the impairment
        std::uint64_t trailingDrops = 0;  // dropped after the last one passed on
        std::uint64_t neverForwarded = 0; // sequence numbers between the first and last passed on that never were
    };

    struct Counts {
        std::map<std::uint32_t, MediaCounts> media;
        std::uint64_t retransmissionsIn = 0, retransmissionsForwarded = 0, retransmissionsDropped = 0;
        std::uint64_t otherToReceiver = 0; // the sender's RTCP, STUN and DTLS
        std::uint64_t toSender = 0;        // everything the receiver sent
        // How long the RTP packets passed on waited in the relay, in microseconds.
        std::int64_t leastHoldUs = 0, mostHoldUs = 0, totalHoldUs = 0;
        impair::Impairment::Counts impaired;
    };

    // A UDP port on 127.0.0.1 that was free a moment ago, for the sender to take.
    static std::uint16_t freeLoopbackPort();

    explicit MuxedRtpRelay(const Options& options);
    ~MuxedRtpRelay();
    MuxedRtpRelay(const MuxedRtpRelay&) = delete;
    MuxedRtpRelay& operator=(const MuxedRtpRelay&) = delete;

    // Where the receiver sends.
    std::uint16_t port() const { return m_port; }
    void stop();
    Counts counts() const;
    // The originals dropped, by SSRC and 16-bit sequence number: when each came
    // (microseconds, steady clock).
    std::map<std::uint32_t, std::map<std::uint16_t, std::int64_t>> droppedOriginals() const;
    // The retransmissions passed on, by SSRC and sequence number: when the first
    // copy left (microseconds, steady clock).
    std::map<std::pair<std::uint32_t, std::uint16_t>, std::int64_t> forwardedRetransmissions() const;
    // Every RTP packet passed on to the receiver, originals and retransmissions, in order.
    struct Delivery {
        std::uint32_t ssrc = 0;
        std::uint16_t sequence = 0;
        std::uint32_t timestamp = 0; // RTP
        std::int64_t atUs = 0;       // when it left (steady clock)
    };
    std::vector<Delivery> deliveries() const;

private:
    // One of the receiver's addresses, and the relay's socket toward the sender for it.
    struct Leg {
        sockaddr_in receiver {};
        int fd = -1;
    };

    void run();
    // The leg of the receiver's address, made on its first packet; -1 when none can be.
    int legFor(const sockaddr_in& receiver);
    void fromSender(std::size_t leg, const unsigned char* packet, std::size_t size);
    void sendDue();
    void toReceiver(std::size_t leg, const unsigned char* packet, std::size_t size);

    struct Forwarded {
        std::set<std::int64_t> sequences; // extended past 16 bits
        std::int64_t highest = 0;
    };

    Options m_options;
    std::chrono::steady_clock::time_point m_end;
    int m_receiverSide = -1;
    std::uint16_t m_port = 0;
    std::atomic<bool> m_stopping {false};
    mutable std::mutex m_mutex;
    Counts m_counts;
    std::map<std::uint32_t, Forwarded> m_forwarded;
    std::map<std::uint32_t, std::map<std::uint16_t, std::int64_t>> m_dropped;
    std::map<std::pair<std::uint32_t, std::uint16_t>, std::int64_t> m_retransmissions;
    std::vector<Delivery> m_deliveries;
    impair::Impairment m_impairment;
    impair::DatagramSchedule m_schedule; // relay thread only: the leg's number, then the packet
    std::vector<Leg> m_legs;             // relay thread only
    std::int64_t m_lastRtpDepartureUs = 0, m_lastRtpHoldUs = 0, m_lastRtpArrivalUs = 0; // relay thread only
    std::uint64_t m_rtpPassed = 0; // under m_mutex
    std::thread m_thread;
};

} // namespace zephyrscope::tools

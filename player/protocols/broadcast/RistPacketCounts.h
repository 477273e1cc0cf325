#pragma once

// The packets of a RIST stream as its RTP sequence numbers show them, counted
// where ristsrc hands them over: after its jitter buffer, which delivers them
// in order, once each, and skips what it gave up on. So a gap in the sequence
// numbers there is a packet that never arrived in time (lost), and a packet
// that ristsrc's retransmission receiver marked as a retransmission arrived
// only by retransmission (recovered): had its first copy come, the jitter
// buffer would have let that through and dropped the retransmission.
//
// ristsrc's own `stats` do not mean this. Its "dropped" is the RTCP receiver
// report's cumulative loss of the RTP source, which rises and falls with
// reordering and retransmissions, empties when the source stops, and reads
// 65536 too many for a stream whose first sequence number is 0, as librist's
// are: rtpsource's probation counts a wrap from 65535 to 0 that never was
// (rtpsource.c update_receiver_stats, max_seq = seqnr - 1; still so after 1.29.2).
// Its "recovered" is the jitter buffer's rtx-success-count: packets that came
// after a retransmission request, the first copy included, when the request
// only anticipated a packet that was not even late.
//
// Private to player/. Thread: watch() on any thread; the pad probe runs on
// ristsrc's streaming thread and only stores into atomics; the counts are read
// on the main loop. The counts live as long as the ristsrc element.

#include <atomic>
#include <cstdint>
#include <optional>

typedef struct _GstElement GstElement;

namespace zephyrscope {

class RistPacketCounts {
public:
    struct Counts {
        std::uint64_t received = 0, lost = 0, recovered = 0;
    };

    // Starts counting what ristsrc delivers from its "src" pad.
    static void watch(GstElement* ristsrc);
    // The counts so far of a ristsrc given to watch(); nullopt for any other element.
    static std::optional<Counts> of(GstElement* ristsrc);

    // Streaming thread: one RTP packet delivered, from its header.
    void packetDelivered(std::uint16_t sequence, bool retransmission);
    Counts counts() const;

private:
    std::atomic<std::uint64_t> m_received {0}, m_lost {0}, m_recovered {0};
    // Only the streaming thread touches these.
    bool m_started = false;
    std::uint16_t m_lastSequence = 0;
};

} // namespace zephyrscope

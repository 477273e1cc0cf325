#pragma once

// A UDP relay on 127.0.0.1 between an MPEG-TS sender (raw UDP, RTP or RIST) and
// a receiver, dropping every dropEvery-th datagram the sender sends, and counting
// exactly what it dropped: the datagrams, their RTP sequence numbers, and the
// payload-carrying TS packets in them per PID (null packets aside), with the
// continuity gaps those make (one per PID per dropped datagram), and how many of
// those packets the continuity counters of what it passed on can show missing.
//
// With RTCP (RIST), the port after each data port is relayed too, both ways, so
// that the receiver's retransmission requests reach the sender; retransmitted
// packets (an RTP SSRC with its lowest bit set) pass, unless the relay drops
// every copy of what it drops (loss no retransmission can repair), and nothing
// is dropped before the receiver's first RTCP packet came through: until then
// its retransmission requests have no way back to the sender. It counts the
// packets whose first copy it passed on was a retransmission: those it repaired.
// A retransmission the receiver's RTP session would refuse (RepairSourceCheck)
// counts as not passed on.
//
// An impairment (random or burst loss, an outage, a rate cap, delay and jitter:
// tools/impair) may act on the sender's datagrams as well, after dropEvery;
// what it does not forward is dropped and counted like dropEvery's drops, with
// its own breakdown in Counts::impaired. Retransmissions are not impaired, but
// with dropRetransmissions every copy of what it lost is dropped too. Delayed
// and held datagrams wait in a timer queue the relay thread drains between
// receives; they keep their order unless the delay is told otherwise.
//
// A multicast target is sent to on the loopback interface.
// Thread: one relay thread; counts() may be called from any thread. It stops
// with stop(), the destructor, or after maxLifetime, whichever comes first.

#include "DatagramSchedule.h"
#include "Impairment.h"
#include "RepairDeadlines.h"
#include "RepairSourceCheck.h"
#include "TsFrameDamage.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace zephyrscope::tools {

class TsDropRelay {
public:
    enum class Framing { Ts, Rtp };

    struct Options {
        std::string targetHost = "127.0.0.1";
        std::uint16_t targetPort = 0;
        // Non-zero: every datagram passed on goes to this port of the target too,
        // so two receivers see one stream with the same datagrams missing.
        std::uint16_t mirrorPort = 0;
        int dropEvery = 0; // 0: drop nothing
        Framing framing = Framing::Ts;
        bool rtcp = false;
        bool dropRetransmissions = false; // RTP with RTCP: drop every copy of a dropped packet
        std::chrono::milliseconds maxLifetime = std::chrono::seconds(120);
        impair::Impairment::Params impairment; // none by default
        // RTP with RTCP: the receiver's buffer, within which a repair still comes
        // in time (RepairDeadlines); 0: every repair does.
        std::chrono::microseconds repairDeadline {0};
    };

    struct Counts {
        std::uint64_t originals = 0;     // datagrams from the sender, retransmissions aside
        std::uint64_t dropped = 0;       // of those, dropped on purpose (dropEvery and the impairment)
        std::uint64_t retransmitted = 0; // retransmissions passed on
        std::uint64_t retransmissionsDropped = 0;
        // RTP: the packets (sequence numbers) passed on, and of them those whose first
        // copy passed on (when it left, after any delay or hold) was a retransmission: what the receiver got only by
        // retransmission, be its original dropped here or never sent by the sender.
        std::uint64_t forwarded = 0, repaired = 0;
        // With RTCP: retransmissions the receiver's RTP session refuses (RepairSourceCheck),
        // not counted as passed on: their packets are passed on only by a later copy, if any.
        std::uint64_t repairsRefused = 0;
        // With a repairDeadline, of those repaired, the ones whose repair left too
        // late for the receiver's buffer (RepairDeadlines): it gave them up, so they
        // are lost to it; the runs of drops it waited for whole; and the nearest
        // repairs to the deadline either side, how long after their original (-1: none).
        std::uint64_t repairedLate = 0, gapsWaitedFor = 0, repairedBeforeGapEnded = 0;
        std::int64_t latestInTimeRepairUs = -1, earliestLateRepairUs = -1;
        // RTP: sequence numbers between the first and the last passed on that never were.
        std::uint64_t neverForwarded = 0;
        // RTP: the longest a receiver that takes the packets in sequence waited for
        // the next one (passed on first, or by retransmission), those never passed
        // on skipped: how long the data stopped for it, repairs counted.
        std::int64_t longestInOrderWaitUs = 0;
        // Drops after the last datagram passed on, which no receiver can see, and their TS packets.
        std::uint64_t trailingDrops = 0, trailingTsPackets = 0;
        std::uint64_t tsPacketsDropped = 0;
        std::uint64_t continuityGaps = 0;
        // Of the payload TS packets not passed on (dropped or blacked out), those a
        // receiver of what was passed on can count by continuity counter: per PID, each
        // run of them between two payload packets passed on, modulo 16 (the counter's
        // four bits; a remainder of 15 reads as a packet sent twice). A run before a
        // PID's first packet passed on, or after its last, or ended by a
        // discontinuity, shows nothing.
        std::uint64_t tsPacketsShownMissing = 0;
        // Those runs that show as a jump of the counter: the continuity errors a receiver counts.
        std::uint64_t continuityGapsShown = 0;
        std::map<std::uint16_t, std::uint64_t> tsPacketsDroppedPerPid;
        // The PES packets (a video frame, an audio frame or a few) that lost a TS packet to a
        // drop, per PID: the most frames a receiver can have lost or had to throw away.
        std::map<std::uint16_t, std::uint64_t> pesDamagedPerPid;
        // The video frames (PES) sent, the key frames among them, the most frames a
        // receiver can show damaged (from each frame that lost a packet to the next
        // key frame sent whole, the frames hit included), and of those, the frames
        // that lost nothing themselves (TsFrameDamage).
        std::uint64_t videoFrames = 0, keyFrames = 0, framesDamageBound = 0, framesDamagedWhole = 0;
        // Each video frame, with when its first packet came (wall clock, us since
        // 1970; a datagram the impairment holds, when it leaves): the key frames
        // the picture waits for after a gap or a loss.
        std::vector<impair::FrameDamageBound::Frame> videoFrameLog;
        // RTP: for each of those frames, the (extended) sequence number of the datagram it began in
        // (frames so short that two begin in one datagram share it).
        std::vector<std::int64_t> videoFrameSequences;
        // RTP with a repairDeadline: when the receiver had each packet, or gave it up
        // (RepairDeadlines::deliveries), on the wall clock as the frame log.
        std::vector<RepairDeadlines::Delivery> deliveries;
        // The last blackout (or the impairment's outage) as the data saw it: when the
        // last datagram before it and the first after it came (wall clock, us since
        // 1970); 0 before one ends.
        std::int64_t blackoutFromWallUs = 0, blackoutToWallUs = 0;
        std::uint64_t blackedOut = 0; // datagrams swallowed by blackouts
        std::uint64_t tsPacketsBlackedOut = 0; // the payload TS packets in them, null packets aside
        impair::Impairment::Counts impaired; // what the impairment did to the originals
    };

    explicit TsDropRelay(const Options& options);
    ~TsDropRelay();
    TsDropRelay(const TsDropRelay&) = delete;
    TsDropRelay& operator=(const TsDropRelay&) = delete;

    // The port the sender sends to (even; with RTCP, the next one takes RTCP).
    std::uint16_t port() const { return m_port; }
    void stop();
    Counts counts() const;
    // Swallows every datagram from the sender for the given time from now on, as
    // a link that goes down does (not counted as dropped).
    void blackout(std::chrono::milliseconds duration);

private:
    void run();
    void relayData(const unsigned char* datagram, std::size_t size);
    void sendData(const unsigned char* datagram, std::size_t size);
    void sendDue();
    void countDropped(const unsigned char* datagram, std::size_t size);
    // Follows the PES packets of the sender's datagrams, in order, and counts those a drop damaged.
    // wallUs: when the datagram came (or, held, leaves).
    void trackPes(const unsigned char* datagram, std::size_t size, bool dropped, std::int64_t wallUs);
    // Follows each PID's continuity counter as a receiver of what is passed on would.
    void trackContinuity(const unsigned char* datagram, std::size_t size, bool passed);
    void countForwarded(std::uint16_t sequence, bool retransmission);
    // An RTP sequence number extended past its 16 bits, from the nearest of the highest so far.
    std::int64_t extendedSequence(std::uint16_t sequence);

    Options m_options;
    std::chrono::steady_clock::time_point m_end;
    int m_dataIn = -1, m_dataOut = -1, m_rtcpIn = -1, m_rtcpOut = -1;
    std::uint16_t m_port = 0;
    std::atomic<bool> m_stopping {false};
    std::atomic<bool> m_receiverRtcpSeen {false};
    std::atomic<std::int64_t> m_blackoutUntilUs {0}; // steady clock
    std::int64_t m_lastPassedWallUs = 0;
    bool m_swallowedSincePassed = false;
    mutable std::mutex m_mutex;
    Counts m_counts;
    impair::Impairment m_impairment;
    impair::DatagramSchedule m_schedule; // relay thread only
    std::set<std::uint16_t> m_droppedSequences;
    std::map<std::int64_t, std::int64_t> m_forwarded; // RTP sequence numbers passed on, extended: when first
    RepairDeadlines m_deadlines; // under m_mutex
    RepairSourceCheck m_repairCheck; // under m_mutex
    std::map<std::uint16_t, std::uint64_t> m_pesNumber; // per PID, the PES packets begun so far
    std::set<std::pair<std::uint16_t, std::uint64_t>> m_damagedPes;
    TsFrameDamage m_frameDamage; // under m_mutex
    bool m_sequenceGapBefore = false; // the last datagram tracked was not passed on
    std::vector<std::int64_t> m_frameSequences; // under m_mutex
    std::int64_t m_wallMinusSteadyUs = 0; // the wall clock less the steady clock, at the start
    struct PidContinuity {
        bool counterKnown = false;   // a packet of it was passed on
        std::uint64_t unpassed = 0;  // payload packets not passed on since the last one passed
    };
    std::map<std::uint16_t, PidContinuity> m_continuity;
    std::int64_t m_highestSequence = 0;
    bool m_sequenceKnown = false;
    std::thread m_thread;
};

} // namespace zephyrscope::tools

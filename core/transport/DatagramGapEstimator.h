#pragma once

// Loss on a raw UDP MPEG-TS stream beyond what its continuity counters can
// count: they are four bits per PID, so a two-second outage of a 1 Mbit/s
// stream reads as a dozen packets lost. The estimator watches when datagrams
// arrive and what they carry, finds the stretches with no datagram (gaps), and
// estimates the payload TS packets each gap swallowed from the stream's rate.
//
// A gap: no datagram for longer than kGapFactor times the usual spacing. The
// usual spacing is the larger of the mean inter-arrival time of the last
// kWindow datagrams (each gap among them taken as kGapFactor spacings long)
// and the largest spacing that was no gap over the last kSpacingSpanUs. Most
// senders send a frame's datagrams back to back: their spacing is then
// microseconds within a frame and a frame's time between frames, and at a
// high rate (11 datagrams a frame at 6 Mbit/s and 50 frames a second) the
// pause between frames is over ten times the mean. The largest recent spacing
// keeps those pauses usual; a median or the mean alone would make every frame
// a gap.
//
// What a gap swallowed is worked out at the first PCR after it: the stream
// time the gap spanned (that PCR minus the last before the gap) times the
// stream's rate, less the TS packets that did arrive between the two PCRs. The
// rate is on the stream's own clock, TS packets between PCRs over PCR time:
// over the last four spans of at least kRateSpanUs where they agree within
// kConstantRateTolerance (a constant-rate stream), else over the last eight
// (two seconds of a variable rate), and before there are PCR spans, TS
// packets over the arrival time of the window. Without a PCR within
// kPcrWaitUs after the gap, the arrival time stands for the stream time: the
// gap less one usual spacing. Data held back (a busy sender, a link's buffer)
// comes after its gap with its stream time and its continuity counters intact:
// a gap with less than half its stream time missing, or without a jump in any
// counter, lost nothing by the rate. The missing TS packets count as payload
// packets in the share of recent traffic that carried payload (null packets
// and adaptation-only ones aside).
//
// Wherever the continuity counters show more missing than that (losses shorter
// than a gap, or a rate estimate that fell short), their count is taken: per
// gap (its counters' jumps at each PID's first packet after it) the larger of
// the two, and outside gaps the counters alone, so an isolated loss agrees
// with Lost_Pkts.
//
// A run of datagrams lost too short to leave a gap (a burst within a frame's
// datagrams, a rate cap's drops) shows in the counters, modulo 16 per PID; the
// PID's PES tells the magnitude (PesLossEstimator). Where every datagram of the
// window carried seven TS packets, all with payload (no null packets, no
// adaptation field alone), such a run is a hole of whole datagrams: k datagrams
// took 7k packets, and the PIDs' jumps after it add up to 7k modulo 16. Seven
// being odd, that fixes k modulo 16; of k, k + 16, ... the hole counts the one
// nearest what the PES showed. A repeated counter is a packet sent twice only
// where its bytes repeat too (its last eight are kept): otherwise it lost 15
// modulo 16, where Lost_Pkts reads none. A PID's jump belongs to the hole after
// its last packet; where there are several (PAT and PMT, sent seldom), the
// holes share it out, each taking the share that brings its 7k nearest what
// its PES showed. A hole is settled kHoleSettleUs after it, once the PIDs
// seldom sent have shown theirs, and not before the window can tell whole
// datagrams nor before its PES has a rate to size it by (kHoleWaitUs at most). Elsewhere
// (null packets, other datagram sizes) each jump counts its residue and the
// multiple of 16 nearest what its PES showed. And a single-PID stream whose gap
// lost a multiple of sixteen packets shows no jump, and is taken as held back.
//
// Not thread-safe; the caller serialises. Times are microseconds of a monotonic clock.

#include "PesLossEstimator.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <utility>

namespace zephyrscope {

class DatagramGapEstimator {
public:
    static constexpr int kGapFactor = 10;
    static constexpr std::size_t kWindow = 256;       // datagrams the usual spacing and recent rate are over
    static constexpr std::size_t kMinIntervals = 64;  // before them, no gap is judged,
    static constexpr std::int64_t kMinWindowUs = 1000000; // nor before the window spans this, unless full
    static constexpr std::int64_t kPcrWaitUs = 1000000;
    static constexpr std::int64_t kRateSpanUs = 250000;
    static constexpr double kConstantRateTolerance = 0.02;
    static constexpr std::int64_t kSpacingSpanUs = 1000000; // the largest usual spacing is over this
    static constexpr std::uint32_t kHolePackets = 7;         // TS packets a datagram of a hole carried
    static constexpr std::uint64_t kHolePacketsInverse = 7;  // 7 x 7 = 49: 1 modulo 16
    static constexpr std::int64_t kHoleSettleUs = 300000; // three PAT and PMT intervals of most muxers
    static constexpr std::int64_t kHoleWaitUs = 2000000;  // for the window to tell whole datagrams, at most

    struct Figures {
        std::uint64_t gaps = 0;          // stretches with no datagram
        std::int64_t gapUs = 0;          // their lengths summed
        std::uint64_t lostEstimate = 0;  // payload TS packets missing, gaps and counters together
    };

    // One datagram's arrival and its bytes (whole TS packets; a partial one is
    // ignored). Without judgeGaps a gap before it is no gap: it only leaves the
    // usual spacing and the rate as a gap would (a receiver still setting up
    // holds its reads, and its held datagrams then come in a lump).
    void datagram(std::int64_t arrivalUs, const std::uint8_t* data, std::size_t size, bool judgeGaps = true);
    // A gap still waiting for its PCR counts what its continuity counters show,
    // so that the figure only grows.
    Figures figures() const;

    // The stream's rate in TS packets per second as the estimator takes it now:
    // the PCRs' where constant, the recent one otherwise; 0 before it knows.
    double packetRate() const;
    bool constantRate() const;

private:
    struct Interval {
        std::int64_t us = 0; // a gap's capped at kGapFactor spacings
        bool gap = false;    // a gap's time and datagram are no part of the rate
        std::uint32_t packets = 0, payloadPackets = 0;
    };
    // A gap, from its end until the first PCR after it, or kPcrWaitUs.
    struct PendingGap {
        std::int64_t startUs = 0, endUs = 0;   // arrivals of the datagrams either side
        double arrivalPackets = 0.0;           // TS packets missing by arrival time
        std::optional<double> ratePackets;     // ... by PCR, once the first after it came
        std::optional<std::int64_t> pcrBefore; // 27 MHz
        std::uint64_t packetsBefore = 0;       // packets received up to that PCR's packet
        std::uint64_t counterMissing = 0;      // the counters' jumps at each PID's first packet after it
    };
    struct RateSpan {
        std::uint64_t packets = 0;
        std::int64_t ticks = 0; // 27 MHz
    };
    struct Counts {
        std::uint32_t packets = 0, payloadPackets = 0;
    };
    // Datagrams lost between two that came, without a gap in arrival.
    struct Hole {
        std::uint64_t datagram = 0;  // the index of the first datagram after it
        std::int64_t arrivalUs = 0;  // that datagram's arrival
        std::uint64_t residues = 0;  // the PIDs' counter jumps it caused, each modulo 16
        PesLossEstimator::Beyond beyond; // what their PES showed beyond those
    };
    static constexpr std::uint64_t kOutright = 0, kSpread = ~std::uint64_t {0}; // where a jump is counted

    Counts readPackets(const std::uint8_t* data, std::size_t size);
    void checkCounter(std::uint16_t pid, const std::uint8_t* packet);
    // Counts a jump of a PID last seen in datagram lastDatagram: against its
    // hole (returned), spread over several, or outright.
    std::uint64_t countInHole(std::uint64_t lastDatagram, std::uint64_t missing);
    // Counts what a jump's PES showed beyond its residue where the jump went.
    void countBeyond(std::uint64_t hole, const PesLossEstimator::Beyond& beyond);
    // A settled hole's TS packets; takes its share of m_spread.
    std::uint64_t holeLoss(const Hole& hole);
    void settleHoles(std::int64_t beforeUs);
    bool wholeDatagramsOfPayload() const;
    void takePcr(std::int64_t pcr);
    // Works out the pending gap's loss by rate at the first PCR after it; true
    // when it held its data back rather than lost it.
    bool resolveGap(std::int64_t pcr);
    void openGap(std::int64_t arrivalUs, std::int64_t lengthUs, double usualUs);
    void closeGap();
    std::uint64_t gapLoss(const PendingGap& gap) const;
    double payloadShare() const
    {
        return m_windowPackets > 0 ? static_cast<double>(m_windowPayload) / static_cast<double>(m_windowPackets) : 1.0;
    }
    double recentPacketsPerUs() const
    {
        return m_rateUs > 0 ? static_cast<double>(m_windowPackets) / static_cast<double>(m_rateUs) : 0.0;
    }
    // TS packets per 27 MHz tick over the last of the PCR spans.
    double spansRate(std::size_t last) const;

    std::deque<Interval> m_window;
    std::int64_t m_windowUs = 0, m_rateUs = 0; // all intervals; those of the rate
    std::uint64_t m_windowPackets = 0, m_windowPayload = 0; // of the rate's intervals
    std::uint64_t m_windowDatagrams = 0;                    // ... and how many they are
    void addInterval(const Interval& interval, int sign);
    std::optional<std::int64_t> m_lastArrivalUs;
    // (arrival, spacing) of the spacings that were no gap in the last
    // kSpacingSpanUs, each larger than all after it: the front is the largest.
    std::deque<std::pair<std::int64_t, std::int64_t>> m_largest;
    std::uint64_t m_packets = 0; // TS packets received
    struct PidState {
        std::uint8_t counter = 0;     // the last continuity counter + 1; 0: none yet
        std::uint16_t gapNumber = 0;  // the gaps counted at its last packet
        std::uint64_t lastDatagram = 0; // the index of the datagram of its last packet
        std::uint64_t jumpHole = kOutright; // where its jump awaiting its PES was counted
        std::uint64_t waitingHole = kOutright; // ... and those awaiting the frame step
        std::uint64_t tail = 0;         // its last packet's last eight bytes: a packet sent twice repeats them
    };
    std::array<PidState, 8192> m_pids {};
    std::optional<PendingGap> m_pending;
    std::uint64_t m_datagram = 0; // the index of the datagram being read, from 1
    std::int64_t m_arrivalUs = 0; // its arrival
    std::deque<Hole> m_holes;     // not yet settled, oldest first
    std::uint64_t m_settledDatagram = 0; // the last settled hole's
    std::uint64_t m_spread = 0;   // jumps over several open holes, not yet shared out
    std::uint64_t m_heldHole = kOutright; // a hole whose PES waits for a rate (kOutright: none)
    PesLossEstimator m_pes;
    int m_pcrPid = -1;
    std::optional<std::int64_t> m_lastPcr; // 27 MHz
    std::uint64_t m_lastPcrPacket = 0;
    RateSpan m_span;                       // the span being summed up
    std::deque<RateSpan> m_spans;          // the last whole ones
    Figures m_figures;
};

} // namespace zephyrscope

#pragma once

// Injects transport stream faults into the datagrams of an MPEG-TS stream (raw
// TS, whole 188-byte packets), each at the packet level, and counts exactly
// what it did: the ground truth for a receiver's second-priority error counts
// and its PCR jitter.
//
// Nothing happens for the first startAfterMs of the stream (by the caller's
// clock, from the first datagram), so that the receiver has its tables and
// clock. Then, together but on different packets:
// - teiPackets packets get their transport_error_indicator set;
// - crcSections PAT or PMT sections get a wrong CRC_32;
// - scrambledPackets packets get transport_scrambling_control '10' (the
//   stream must carry no CAT for each to be an error);
// - every jitterEvery-th datagram that carries a PCR leaves jitterDelayMs
//   late; the datagrams behind it keep their order, so they leave no earlier.
// With pacedLeadMs, each datagram that carries a PCR first leaves when its PCR
// says, pacedLeadMs after the first one came (a lead that takes up the
// sender's own lateness), and the others when the stream's rate between its
// PCRs puts their first byte: a stream without jitter of its own, to shift,
// whatever the sender's timing within the lead.
// Each packet changed is a payload packet of an elementary stream, not the
// start of a PES packet and without a PCR, so no other check sees it.
// And one after the other, so that neither hides the other:
// - for pcrBlankMs from startAfterMs, PCRs are taken out of their packets'
//   adaptation fields: one gap, which a receiver counts as one repetition
//   error and, as the PCR jumps ahead as far, one discontinuity;
// - for ptsHoldMs, starting a second after that stretch, PTS and DTS are taken
//   out of every PES header: one gap per PID that had one.
// Packet sizes never change: what is taken out becomes stuffing.
//
// Times are microseconds on the caller's monotonic clock. Thread: one caller.

#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <set>

namespace zephyrscope::tools {

class TsFaultInjector {
public:
    struct Plan {
        std::int64_t startAfterMs = 1000;
        std::uint64_t teiPackets = 0;
        std::uint64_t crcSections = 0;
        std::uint64_t scrambledPackets = 0;
        int jitterEvery = 0; // 0: no datagram delayed
        std::int64_t jitterDelayMs = 0;
        std::int64_t pacedLeadMs = 0; // 0: datagrams leave as they came
        std::int64_t pcrBlankMs = 0;
        std::int64_t ptsHoldMs = 0;
    };

    struct Counts {
        std::uint64_t datagrams = 0;
        std::uint64_t teiPackets = 0;
        std::uint64_t crcSections = 0;
        std::uint64_t scrambledPackets = 0;
        std::uint64_t datagramsDelayed = 0;
        std::int64_t pcrDatagramLatestUs = 0; // the most a datagram with a PCR left late
        std::uint64_t pcrsRemoved = 0;
        std::uint64_t pcrGaps = 0;           // stretches that removed at least one PCR
        std::uint64_t ptsRemoved = 0;
        std::uint64_t ptsGaps = 0;           // PIDs whose PTS the hold removed
    };

    explicit TsFaultInjector(const Plan& plan);

    // Changes the datagram in place; returns when it is to leave (nowUs or later).
    std::int64_t inject(std::uint8_t* datagram, std::size_t size, std::int64_t nowUs);
    // The first PCR a datagram carries, in microseconds of the 27-MHz clock.
    static std::optional<std::int64_t> pcrUsOf(const std::uint8_t* datagram, std::size_t size);
    const Counts& counts() const { return m_counts; }

private:
    // What one packet is to a receiver, read before anything is changed.
    struct PacketKind {
        std::uint16_t pid = 0;
        bool elementary = false; // of a PID a PMT names
        bool pesStart = false;
        bool pcr = false;
        bool table = false;      // a PAT or PMT section whole in the packet...
        std::size_t sectionEnd = 0; // ...and where it ends
    };
    // At most one packet a datagram gets each of the counted changes.
    struct Changed {
        bool tei = false, scrambled = false, crc = false;
    };

    PacketKind classify(const std::uint8_t* packet);
    void readPat(const std::uint8_t* packet);
    void readPmt(const std::uint8_t* packet);
    void changePacket(std::uint8_t* packet, const PacketKind& kind, Changed& changed);
    void holdTimes(std::uint8_t* packet, const PacketKind& kind, std::int64_t sinceStartMs);
    std::int64_t departure(std::optional<std::int64_t> pcrUs, std::size_t size, bool started, std::int64_t nowUs);
    std::int64_t pacedDeparture(std::optional<std::int64_t> pcrUs, std::size_t size, std::int64_t nowUs);

    Plan m_plan;
    Counts m_counts;
    std::optional<std::int64_t> m_firstUs;
    std::int64_t m_lastDepartureUs = std::numeric_limits<std::int64_t>::min();
    std::optional<std::int64_t> m_pacedTransitUs; // pacing: departure minus PCR
    // Pacing by the stream's own rate: where the first PCR and the last came
    // (bytes into the stream, PCR, departure), and the bytes seen so far.
    struct PcrPlace {
        std::uint64_t atByte = 0;
        std::int64_t pcrUs = 0;
        std::int64_t departureUs = 0;
    };
    std::optional<PcrPlace> m_firstPcr, m_lastPcr;
    std::uint64_t m_bytes = 0;
    std::uint64_t m_pcrDatagrams = 0;
    std::set<std::uint16_t> m_pmtPids;
    std::set<std::uint16_t> m_elementaryPids;
    std::set<std::uint16_t> m_ptsHeldPids;
};

} // namespace zephyrscope::tools

#pragma once

// Watches an MPEG transport stream as its bytes arrive: keeps packet sync,
// follows each PID's continuity counter and the PAT and PMTs, and counts the
// first- and second-priority errors an operator checks a broadcast stream for.
//
// The second priority's, beside PcrTiming's (PCR repetition, discontinuity,
// accuracy and jitter, on the PCR PID the clock is taken from):
// - transport_error: a packet with its transport_error_indicator set. The
//   packet is read as ever: the bit says a link below found it damaged, not where.
// - crc: a section on the PAT's, the CAT's or a PMT's PID whose CRC_32 is
//   wrong. Only sections that begin and end in one packet are read, and a
//   wrong one's content is not taken in (it still counts as the table seen).
// - pts: a PES PID a PMT names whose PTS, once it carried one, is absent for
//   more than 700 ms of stream time; one error a whole interval, as the PAT's.
// - cat: a packet scrambled (transport_scrambling_control not 0) before any
//   CAT was seen, or a section other than a CAT on PID 1. A scrambled PAT or
//   PMT is their first-priority error alone.
//
// Time is the stream's own: the programme clock references (PCR) of the first
// PID that carries them, so a file or a downloaded segment read faster than
// real time is judged as it would play. Before the first PCR no time-based
// error counts. A PCR that jumps back or more than a second ahead restarts the
// clock without counting.
//
// Thread: not thread-safe; one feeding thread, or a lock around it.

#include "PcrTiming.h"
#include "TsErrorCounts.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <vector>

namespace zephyrscope {

class TransportStreamAnalyser {
public:
    // A PAT and each PMT are due at least this often.
    static constexpr std::int64_t kTableIntervalUs = 500000;
    // A PES PID's PTS is due at least this often.
    static constexpr std::int64_t kPtsIntervalUs = 700000;
    // A PID a PMT names may be silent this long before it is missing.
    static constexpr std::int64_t kDefaultPidTimeoutUs = 5000000;

    explicit TransportStreamAnalyser(std::int64_t pidTimeoutUs = kDefaultPidTimeoutUs);

    // Bytes in arrival order, cut anywhere; arrivalUs (microseconds of a
    // monotonic clock), where known, is when each packet they complete arrived,
    // for the PCR jitter.
    void feed(const std::uint8_t* data, std::size_t size, std::optional<std::int64_t> arrivalUs = std::nullopt);

    // Packets taken in while in sync, null packets included.
    std::uint64_t packets() const { return m_packets; }
    // Payload-carrying packets the continuity counters show missing: per PID,
    // modulo 16, null packets ignored.
    std::uint64_t missingPackets() const { return m_missing; }
    const TsErrorCounts& errors() const { return m_errors; }
    bool inSync() const { return m_inSync; }
    // Whether the PCRs' accuracy can be judged: the stream came at a constant rate.
    bool pcrAccuracyJudged() const { return m_pcrTiming.accuracyJudged(); }
    // The largest PCR jitter over the last 10 s of arrivals; none unless fed
    // with arrival times.
    std::optional<double> pcrJitterMs() const { return m_pcrTiming.jitterMs(); }

private:
    struct PidState {
        std::uint8_t counter = 0;
        bool duplicateSeen = false;
    };

    void findSync();
    void takePacket(const std::uint8_t* packet);
    void checkContinuity(std::uint16_t pid, const std::uint8_t* packet);
    void readPcr(std::uint16_t pid, const std::uint8_t* packet);
    void readSection(std::uint16_t pid, const std::uint8_t* packet);
    void readPat(const std::uint8_t* section, std::size_t size);
    void readPmt(std::uint16_t pid, const std::uint8_t* section, std::size_t size);
    void readPts(std::uint16_t pid, const std::uint8_t* packet);
    void advanceClock(std::int64_t nowUs);
    void restartTimers();

    const std::int64_t m_pidTimeoutUs;
    std::vector<std::uint8_t> m_pending;
    bool m_inSync = false;
    int m_badSyncRun = 0;
    std::uint64_t m_packets = 0;
    std::uint64_t m_missing = 0;
    TsErrorCounts m_errors;
    std::map<std::uint16_t, PidState> m_pids;

    // The stream's clock, from the PCR PID.
    std::optional<std::uint16_t> m_pcrPid;
    std::optional<std::int64_t> m_lastPcrUs;
    std::int64_t m_nowUs = 0;
    bool m_clockRunning = false;
    // When each watched thing was last seen (stream time), or the check started.
    std::int64_t m_patSeenUs = 0;
    std::map<std::uint16_t, std::int64_t> m_pmtSeenUs;        // by PMT PID, from the PAT
    std::map<std::uint16_t, std::int64_t> m_elementarySeenUs; // by PID, from the PMTs
    std::map<std::uint16_t, std::vector<std::uint16_t>> m_programPids; // PMT PID -> its PIDs
    std::map<std::uint16_t, std::int64_t> m_ptsSeenUs; // by PID, those a PMT names that carried a PTS
    bool m_catSeen = false;
    PcrTiming m_pcrTiming;
    std::optional<std::int64_t> m_arrivalUs; // of the bytes being fed, when known
};

} // namespace zephyrscope

#pragma once

// Watches an MPEG transport stream as its bytes arrive: keeps packet sync,
// follows each PID's continuity counter and the PAT and PMTs, and counts the
// first-priority errors an operator checks a broadcast stream for.
//
// Time is the stream's own: the programme clock references (PCR) of the first
// PID that carries them, so a file or a downloaded segment read faster than
// real time is judged as it would play. Before the first PCR no time-based
// error counts. A PCR that jumps back or more than a second ahead restarts the
// clock without counting.
//
// Thread: not thread-safe; one feeding thread, or a lock around it.

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
    static constexpr std::size_t kPacketSize = 188;
    static constexpr std::uint8_t kSyncByte = 0x47;
    static constexpr std::uint16_t kNullPid = 0x1FFF;
    // A PAT and each PMT are due at least this often.
    static constexpr std::int64_t kTableIntervalUs = 500000;
    // A PID a PMT names may be silent this long before it is missing.
    static constexpr std::int64_t kDefaultPidTimeoutUs = 5000000;

    explicit TransportStreamAnalyser(std::int64_t pidTimeoutUs = kDefaultPidTimeoutUs);

    // Bytes in arrival order, cut anywhere.
    void feed(const std::uint8_t* data, std::size_t size);

    // Packets taken in while in sync, null packets included.
    std::uint64_t packets() const { return m_packets; }
    // Payload-carrying packets the continuity counters show missing: per PID,
    // modulo 16, null packets ignored.
    std::uint64_t missingPackets() const { return m_missing; }
    const TsErrorCounts& errors() const { return m_errors; }
    bool inSync() const { return m_inSync; }

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
};

} // namespace zephyrscope

#pragma once

#include <cstdint>

namespace zephyrscope {

// The first- and second-priority transport stream errors of a stream, each
// counted as its check found it (see TransportStreamAnalyser for when each one
// counts).
struct TsErrorCounts {
    // First priority: the stream cannot be decoded at all, or only in part.
    std::uint64_t syncLoss = 0;   // sync lost: two sync bytes in a row wrong
    std::uint64_t syncByte = 0;   // a packet's sync byte is not 0x47 while in sync
    std::uint64_t pat = 0;        // no PAT for 0.5 s, or PID 0 with another table or scrambled
    std::uint64_t continuity = 0; // a continuity counter out of order, or a packet more than twice
    std::uint64_t pmt = 0;        // a program's PMT missing for 0.5 s, or scrambled
    std::uint64_t pid = 0;        // a PID a PMT names absent for the PID timeout
    // Second priority: what a receiver needs to decode and present it well.
    std::uint64_t transportError = 0;   // a packet with its transport_error_indicator set
    std::uint64_t crc = 0;              // a PAT, CAT or PMT section whose CRC_32 is wrong
    std::uint64_t pcrRepetition = 0;    // two PCRs of the PCR PID more than 100 ms apart
    std::uint64_t pcrDiscontinuity = 0; // a PCR 100 ms ahead or behind the last, unannounced
    std::uint64_t pcrAccuracy = 0;      // a PCR more than 500 ns off a constant-rate stream's
    std::uint64_t pts = 0;              // a PES PID's PTS more than 700 ms apart
    std::uint64_t cat = 0;              // scrambled without a CAT, or another table on PID 1

    // The first-priority errors alone: what the report marks as a stream
    // broken, and what a stream without second-priority errors always showed.
    std::uint64_t total() const { return syncLoss + syncByte + pat + continuity + pmt + pid; }
    std::uint64_t secondPriorityTotal() const
    {
        return transportError + crc + pcrRepetition + pcrDiscontinuity + pcrAccuracy + pts + cat;
    }
    bool operator==(const TsErrorCounts&) const = default;
};

// Each kind by the name the metrics endpoint's "error" label and the JSON Lines
// log give it, in the order they list them: the first priority's first, as
// they always were, then the second's.
struct TsErrorKind {
    const char* name;
    std::uint64_t TsErrorCounts::*count;
    int priority; // 1 or 2
};

inline constexpr TsErrorKind kTsErrorKinds[] = {
    {"sync_loss", &TsErrorCounts::syncLoss, 1},
    {"sync_byte", &TsErrorCounts::syncByte, 1},
    {"pat", &TsErrorCounts::pat, 1},
    {"continuity_count", &TsErrorCounts::continuity, 1},
    {"pmt", &TsErrorCounts::pmt, 1},
    {"pid", &TsErrorCounts::pid, 1},
    {"transport_error", &TsErrorCounts::transportError, 2},
    {"crc", &TsErrorCounts::crc, 2},
    {"pcr_repetition", &TsErrorCounts::pcrRepetition, 2},
    {"pcr_discontinuity", &TsErrorCounts::pcrDiscontinuity, 2},
    {"pcr_accuracy", &TsErrorCounts::pcrAccuracy, 2},
    {"pts", &TsErrorCounts::pts, 2},
    {"cat", &TsErrorCounts::cat, 2},
};

} // namespace zephyrscope

#pragma once

#include <cstdint>

namespace zephyrscope {

// The first-priority transport stream errors of a stream, each counted as its
// check found it (see TransportStreamAnalyser for when each one counts).
struct TsErrorCounts {
    std::uint64_t syncLoss = 0;   // sync lost: two sync bytes in a row wrong
    std::uint64_t syncByte = 0;   // a packet's sync byte is not 0x47 while in sync
    std::uint64_t pat = 0;        // no PAT for 0.5 s, or PID 0 with another table or scrambled
    std::uint64_t continuity = 0; // a continuity counter out of order, or a packet more than twice
    std::uint64_t pmt = 0;        // a program's PMT missing for 0.5 s, or scrambled
    std::uint64_t pid = 0;        // a PID a PMT names absent for the PID timeout

    std::uint64_t total() const { return syncLoss + syncByte + pat + continuity + pmt + pid; }
    bool operator==(const TsErrorCounts&) const = default;
};

// Each kind by the name the metrics endpoint's "error" label and the JSON Lines
// log give it, in the order they list them.
struct TsErrorKind {
    const char* name;
    std::uint64_t TsErrorCounts::*count;
};

inline constexpr TsErrorKind kTsErrorKinds[] = {
    {"sync_loss", &TsErrorCounts::syncLoss},        {"sync_byte", &TsErrorCounts::syncByte},
    {"pat", &TsErrorCounts::pat},                   {"continuity_count", &TsErrorCounts::continuity},
    {"pmt", &TsErrorCounts::pmt},                   {"pid", &TsErrorCounts::pid},
};

} // namespace zephyrscope

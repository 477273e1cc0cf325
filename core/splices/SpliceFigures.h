#pragma once

#include "SpliceCommand.h"

#include <array>
#include <cstdint>
#include <vector>

namespace zephyrscope {

// An entry's splice commands so far (the first kMaxCommands of them, in the
// order heard), how many of each command, the sections that could not be
// read (truncated, oversized, a wrong CRC, not a splice_info_section), and
// whether an ad break is on now (AdBreakTracker).
struct SpliceFigures {
    static constexpr std::size_t kMaxCommands = 1000;
    // Splices are looked for in this entry: an MPEG-TS stream went through a
    // demuxer, or a section was heard. Until then there are no splice figures.
    bool watched = false;
    std::vector<SpliceCommand> commands;
    std::array<std::uint64_t, kSpliceCommandTypes> counts {};
    std::uint64_t errors = 0;
    bool adBreak = false;
};

} // namespace zephyrscope

#pragma once

#include "RunSummary.h"
#include "StatisticsLog.h"

#include <cstddef>
#include <string>

namespace zephyrscope::report {

// One clip as the input of ITU-T P.1203 mode 0, in the JSON form its public
// reference tool reads (docs/QOE.md): "I13" the video's segments (bit rate,
// codec, duration, frame rate, resolution, start, on the media timeline of the
// time played), "I23" the stalls as [media time, duration] with the initial
// loading as a stall at 0, "IGen" the device and display. The log has no
// segment boundaries: each segment is up to one second of the ticks in Playing.
std::string FormatP1203Input(const StatisticsLog& log, const RunSummary& summary, std::size_t clip);

// Where clip k's input goes: path itself for a log of one clip; "-<k+1>" before
// its extension for each clip of several.
std::string P1203InputPath(const std::string& path, std::size_t clip, std::size_t clips);

} // namespace zephyrscope::report

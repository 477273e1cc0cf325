#pragma once

#include "StatisticsLog.h"

#include <string>
#include <string_view>

namespace zephyrscope::report {

// Reads the program's JSON Lines log into the same form as a statistics log:
// ticks become samples (with their latency), "opened" events media blocks, and
// the first-frame and stall events are kept with their millisecond times, and
// the splice events as they are. A line
// that is not an object of a schema this reader knows is reported and skipped.
class JsonLogReader {
public:
    static StatisticsLog fromText(std::string_view text);
    // Reads a log of either kind, a JSON Lines log or a tab-separated one. Throws
    // std::runtime_error naming the path and the reason when it cannot be read.
    static StatisticsLog fromAnyFile(const std::string& path);
    // Whether text (a file's start) is a JSON Lines log rather than a tab-separated one.
    static bool looksLikeJsonLog(std::string_view text);
};

} // namespace zephyrscope::report

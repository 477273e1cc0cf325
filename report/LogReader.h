#pragma once

#include "StatisticsLog.h"

#include <optional>
#include <string>
#include <string_view>

namespace zephyrscope::report {

// Parses statistics logs exactly: a line is taken as a sample only when all
// eighteen fields parse, and as a media block only when its third line has the
// block's own form. Anything else is reported with its line number and skipped,
// never guessed at.
class LogReader {
public:
    static StatisticsLog fromText(std::string_view text);
    // Throws std::runtime_error naming the path and the reason when it cannot be
    // read. Reading stops at a line longer than 1 MiB (reported as a problem).
    static StatisticsLog fromFile(const std::string& path);
    // A log file's text, up to a line longer than kMaxLineBytes (then
    // *cutAtLongLine is set and the text ends where that line starts); throws as
    // fromFile does.
    static std::string readText(const std::string& path, bool* cutAtLongLine = nullptr);

    // Whether the text read was a statistics log at all: it has the header, a
    // sample or a media block. Random bytes or another program's file have none.
    static bool isLog(const StatisticsLog& log);

    // Parses one sample line (without its line feed); nothing when it is not one.
    static std::optional<LogSample> parseSample(std::string_view line);
};

} // namespace zephyrscope::report

#pragma once

#include "StatisticsLog.h"

#include <filesystem>
#include <string>

namespace zephyrscope::testing {

// Reads a statistics log back with the report's exact reader and fails the
// current test for a missing or wrong header, for any line the reader cannot
// take (a cut-off or malformed line), for a last line without its line feed,
// and for a counter that falls within an entry (ExpectCountersNeverFall).
report::StatisticsLog ExpectWellFormedLog(const std::filesystem::path& path);

// Fails the current test for each sample whose Received_Pkts, Lost_Pkts,
// Recover_Pkts, BufCount or Fr_Skipped is below the entry's sample before it.
// An entry's samples run from its media block to the next one's.
void ExpectCountersNeverFall(const report::StatisticsLog& log, const std::filesystem::path& path);

// How many lines of a run's stderr report a failure to the user: "Cannot play",
// "Cannot create log file" and "Cannot write log file" lines. The player's own
// diagnostics (a pipeline slow to shut down, GStreamer's details) are not counted.
int CountReports(const std::string& stderrText);

// The whole file, or "" when it cannot be read.
std::string FileText(const std::filesystem::path& path);

} // namespace zephyrscope::testing

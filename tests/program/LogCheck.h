#pragma once

#include "StatisticsLog.h"

#include <filesystem>
#include <string>

namespace zephyrscope::testing {

// Reads a statistics log back with the report's exact reader and fails the
// current test for a missing or wrong header, for any line the reader cannot
// take (a cut-off or malformed line) and for a last line without its line feed.
report::StatisticsLog ExpectWellFormedLog(const std::filesystem::path& path);

// The whole file, or "" when it cannot be read.
std::string FileText(const std::filesystem::path& path);

} // namespace zephyrscope::testing

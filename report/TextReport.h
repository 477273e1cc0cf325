#pragma once

#include "RunSummary.h"

#include <string>

namespace zephyrscope::report {

// The summary as aligned, readable text: the run, then each clip, then the lines
// that could not be read.
std::string FormatTextReport(const RunSummary& summary, const std::string& logName);

} // namespace zephyrscope::report

#pragma once

#include "RunSummary.h"

#include <string>

namespace zephyrscope::report {

// The summary as one JSON object (UTF-8, one line feed at the end). Figures that
// cannot be known, such as the bit rate of a run that never played, are null.
std::string FormatJsonReport(const RunSummary& summary, const std::string& logName);

// A JSON string literal. Log texts are 8-bit: bytes that are not valid UTF-8 are
// taken as Latin-1.
std::string JsonString(const std::string& text);

} // namespace zephyrscope::report

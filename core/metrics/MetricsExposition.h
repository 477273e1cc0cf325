#pragma once

#include <string>
#include <string_view>

namespace zephyrscope {

struct MetricsFigures;

// The Content-Type of FormatMetricsExposition's text.
inline constexpr char kMetricsContentType[] = "text/plain; version=0.0.4; charset=utf-8";

// Formats the figures in the Prometheus text exposition format 0.0.4 into out
// (replacing its contents): a HELP and a TYPE line per metric family, names with
// the zephyrscope_ prefix and Prometheus' base units (seconds, bytes, ratios 0..1).
// The entry's gauges and counters carry the entry's URL (without user and
// password) and protocol as labels; the player state is one series per state
// name. Before the first sample only the run-level series are written.
void FormatMetricsExposition(const MetricsFigures& figures, std::string& out);

// A label value as the exposition format writes it between quotes: backslash,
// double quote and line feed escaped.
std::string EscapeLabelValue(std::string_view value);

} // namespace zephyrscope

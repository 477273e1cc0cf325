#pragma once

#include <QString>
#include <QStringList>

#include <string>

namespace zephyrscope::testing {

// A program run to the end on its stdin, bounded; what it printed and its status.
struct ToolRun {
    int exitStatus = -1; // -1: did not start or end in time; -2: crashed
    std::string output;  // stdout and stderr merged
};

ToolRun runTool(const QString& program, const QStringList& arguments, const std::string& input);

// All `promtool check metrics` may say of the endpoint's text (with exit status 3,
// lint problems only): it would have the bit rates in bytes. They stay in bits per
// second, as the log and the player give them; anything else it says is a fault.
inline constexpr char kPromtoolBitRateRemarks[] =
    "zephyrscope_bandwidth_bits_per_second use base unit \"bytes\" instead of \"bits\"\n"
    "zephyrscope_bit_rate_bits_per_second use base unit \"bytes\" instead of \"bits\"\n"
    "zephyrscope_max_bandwidth_bits_per_second use base unit \"bytes\" instead of \"bits\"\n";

} // namespace zephyrscope::testing

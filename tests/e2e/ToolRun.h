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

} // namespace zephyrscope::testing

#pragma once

#include "ExitStatus.h"
#include "Version.h"

#include <span>
#include <string>

namespace zephyrscope {

inline constexpr char kProgramVersion[] = "zephyrscope " ZEPHYRSCOPE_VERSION;

// The first line of --help, also said after a usage error.
inline constexpr char kUsageLine[] = "Usage: zephyrscope [OPTION]... [URL [LOGFILE]]";

// What --help prints: the options from the program's option table and the
// URL schemes from the protocol table, so neither can be left out. The manual
// page (docs/man/zephyrscope.1) and the README are checked against it by the
// package tests.
std::string FormatProgramUsage();

// "  64   usage error: ..." for each status, a long meaning's lines under one
// another: the --help of the program and of the report.
std::string FormatExitStatusList(std::span<const ExitStatusMeaning> statuses);

inline const std::string kProgramUsage = FormatProgramUsage();

} // namespace zephyrscope

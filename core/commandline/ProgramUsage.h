#pragma once

#include "Version.h"

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

inline const std::string kProgramUsage = FormatProgramUsage();

} // namespace zephyrscope

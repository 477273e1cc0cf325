#pragma once

#include <ctime>
#include <string>

namespace zephyrscope {

// The log name for a run started at the given local time: "%Y%m%d%H%M%S.dat".
std::string DefaultLogName(const std::tm& localTime);

// The log name for a run starting now, in the local time zone.
std::string DefaultLogName();

} // namespace zephyrscope

#include "CWMPMedia.h"

#include <cmath>
#include <cstdio>

namespace zephyrscope {

std::string CWMPMedia::formatDuration(double seconds)
{
    const long total = seconds > 0.0 ? std::lround(seconds) : 0;
    char text[32];
    if (total >= 3600)
        std::snprintf(text, sizeof text, "%02ld:%02ld:%02ld", total / 3600, total / 60 % 60, total % 60);
    else
        std::snprintf(text, sizeof text, "%02ld:%02ld", total / 60, total % 60);
    return text;
}

} // namespace zephyrscope

#pragma once

// What every chart of the report shares: its value axis' steps and labels.

#include <QString>

#include <cmath>

namespace zephyrscope::report {

// A tick step of 1, 2 or 5 times a power of ten giving about `count` ticks.
inline double niceStep(double range, int count)
{
    if (range <= 0.0)
        return 1.0;
    const double raw = range / count;
    const double power = std::pow(10.0, std::floor(std::log10(raw)));
    for (double m : {1.0, 2.0, 5.0, 10.0})
        if (raw <= m * power)
            return m * power;
    return 10.0 * power;
}

inline QString tickLabel(double value)
{
    return std::fabs(value) >= 1000.0 || value == std::floor(value) ? QString::number(value, 'f', 0)
                                                                       : QString::number(value, 'g', 3);
}

} // namespace zephyrscope::report

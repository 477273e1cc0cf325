#pragma once

#include "StatisticsLog.h"

#include <cmath>
#include <vector>

// |gap - 500 ms| between consecutive sample lines of a log, in milliseconds: how
// far each tick fell from the sample timer's period.
inline std::vector<double> tickDeviationsMs(const zephyrscope::report::StatisticsLog& log)
{
    std::vector<double> deviations;
    for (std::size_t i = 1; i < log.samples.size(); ++i)
        deviations.push_back(std::fabs((log.samples[i].utc() - log.samples[i - 1].utc()) * 1000.0 - 500.0));
    return deviations;
}

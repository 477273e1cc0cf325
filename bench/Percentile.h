#pragma once

#include <algorithm>
#include <cmath>
#include <vector>

// Nearest rank: the smallest value with at least this fraction of the values at or
// below it; 0 for no values.
inline double percentile(std::vector<double> values, double fraction)
{
    if (values.empty())
        return 0.0;
    std::sort(values.begin(), values.end());
    const auto rank = static_cast<std::size_t>(std::ceil(fraction * static_cast<double>(values.size())));
    return values[std::min(values.size() - 1, rank == 0 ? 0 : rank - 1)];
}

#include "LumaSample.h"

#include <algorithm>
#include <cstdlib>

namespace zephyrscope {

PictureSummary LumaSample::summarize(std::span<const std::uint8_t> samples, int blackCode, int whiteCode,
                                     double darkRatio)
{
    PictureSummary summary;
    if (samples.empty())
        return summary;
    const double range = std::max(1, whiteCode - blackCode);
    const double darkBelow = blackCode + darkRatio * range;
    const bool comparable = m_previous.size() == samples.size();
    std::uint64_t dark = 0, sum = 0, difference = 0;
    for (std::size_t i = 0; i < samples.size(); ++i) {
        const int v = samples[i];
        dark += v < darkBelow;
        sum += static_cast<std::uint64_t>(v);
        if (comparable)
            difference += static_cast<std::uint64_t>(std::abs(v - static_cast<int>(m_previous[i])));
    }
    const double n = static_cast<double>(samples.size());
    summary.darkShare = static_cast<double>(dark) / n;
    summary.meanLevel = std::clamp((static_cast<double>(sum) / n - blackCode) / range, 0.0, 1.0);
    if (comparable)
        summary.difference = static_cast<double>(difference) / n / range;
    m_previous.assign(samples.begin(), samples.end());
    return summary;
}

} // namespace zephyrscope

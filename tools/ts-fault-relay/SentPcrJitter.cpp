#include "SentPcrJitter.h"

#include <algorithm>

namespace zephyrscope::tools {

namespace {

constexpr std::int64_t kSettleUs = 2000000;
constexpr std::int64_t kBaselineUs = 1000000;
constexpr std::int64_t kWindowUs = 10000000;

} // namespace

void SentPcrJitter::sent(std::int64_t sentUs, std::int64_t pcrUs)
{
    if (!m_firstUs)
        m_firstUs = sentUs;
    if (sentUs < *m_firstUs + kSettleUs)
        return;
    m_sent.push_back({sentUs, sentUs - pcrUs});
    while (m_sent.front().atUs < sentUs - kWindowUs - kBaselineUs)
        m_sent.pop_front();
}

std::optional<std::int64_t> SentPcrJitter::peakUs() const
{
    if (m_sent.empty())
        return std::nullopt;
    const std::int64_t windowStartUs = m_sent.back().atUs - kWindowUs;
    std::int64_t peak = 0;
    for (auto it = m_sent.begin(); it != m_sent.end(); ++it) {
        if (it->atUs < windowStartUs)
            continue;
        // The least transit over the second up to this one, among what was measured.
        std::int64_t least = it->transitUs;
        for (auto back = std::make_reverse_iterator(it); back != m_sent.rend() && back->atUs >= it->atUs - kBaselineUs;
             ++back)
            least = std::min(least, back->transitUs);
        peak = std::max(peak, it->transitUs - least);
    }
    return peak;
}

} // namespace zephyrscope::tools

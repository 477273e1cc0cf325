#include "LossModel.h"

#include <algorithm>

namespace zephyrscope::tools::impair {

LossModel::LossModel(const Params& params)
    : m_params(params)
    , m_random(params.seed)
{
    if (params.kind == Kind::GilbertElliott) {
        // A burst ends with probability 1/L each datagram, so bursts last L on
        // average; the chain spends p / (p + r) of its time bad, which is the rate.
        const double rate = std::clamp(params.rate, 0.0, 0.999);
        m_badToGood = 1.0 / std::max(1.0, params.meanBurst);
        m_goodToBad = rate * m_badToGood / (1.0 - rate);
    }
}

bool LossModel::drops()
{
    ++m_counts.seen;
    const bool dropped = decide();
    if (dropped) {
        ++m_counts.dropped;
        if (!m_lastDropped)
            ++m_counts.bursts;
    }
    m_lastDropped = dropped;
    return dropped;
}

bool LossModel::decide()
{
    switch (m_params.kind) {
    case Kind::None:
        return false;
    case Kind::EveryNth:
        return m_params.every > 0 && m_counts.seen % static_cast<std::uint64_t>(m_params.every) == 0;
    case Kind::Random:
        return m_random.uniform() < m_params.rate;
    case Kind::GilbertElliott:
        m_bad = m_bad ? m_random.uniform() >= m_badToGood : m_random.uniform() < m_goodToBad;
        return m_bad;
    }
    return false;
}

} // namespace zephyrscope::tools::impair

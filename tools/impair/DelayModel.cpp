#include "DelayModel.h"

#include <algorithm>
#include <cmath>

namespace zephyrscope::tools::impair {

DelayModel::DelayModel(const Params& params)
    : m_params(params)
    , m_random(params.seed)
{
}

std::int64_t DelayModel::departureUs(std::int64_t arrivalUs)
{
    ++m_counts.seen;
    double jitter = 0.0;
    if (m_params.jitterUs > 0) {
        jitter = m_params.jitter == Jitter::Uniform ? (2.0 * m_random.uniform() - 1.0) * m_params.jitterUs
                                                    : m_random.normal() * m_params.jitterUs;
    }
    m_lastDrawUs = std::max<std::int64_t>(0, m_params.delayUs + std::llround(jitter));
    std::int64_t departure = arrivalUs + m_lastDrawUs;
    if (departure < m_latestDepartureUs) {
        if (m_params.keepOrder) {
            departure = m_latestDepartureUs;
            ++m_counts.heldForOrder;
        } else {
            ++m_counts.reordered;
        }
    }
    m_latestDepartureUs = std::max(m_latestDepartureUs, departure);
    if (departure > arrivalUs)
        ++m_counts.delayed;
    m_counts.totalDelayUs += departure - arrivalUs;
    return departure;
}

} // namespace zephyrscope::tools::impair

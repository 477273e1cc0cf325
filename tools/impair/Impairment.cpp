#include "Impairment.h"

namespace zephyrscope::tools::impair {

Impairment::Impairment(const Params& params)
    : m_loss(params.loss)
    , m_delay(params.delay)
    , m_rate(params.rate)
    , m_outageParams(params.outage)
{
}

Impairment::Verdict Impairment::judge(std::int64_t nowUs, std::size_t size, bool lossApplies)
{
    ++m_seen;
    if (!m_outage) {
        Outage::Params placed = m_outageParams;
        placed.startUs += nowUs;
        m_outage.emplace(placed);
    }
    if (m_outage->swallows(nowUs))
        return {Fate::Swallowed, 0};
    if (lossApplies && m_loss.drops())
        return {Fate::Lost, 0};
    const std::optional<std::int64_t> leavesCap = m_rate.departureUs(nowUs, size);
    if (!leavesCap)
        return {Fate::Capped, 0};
    const std::int64_t departure = m_delay.active() ? m_delay.departureUs(*leavesCap) : *leavesCap;
    return {Fate::Forwarded, departure};
}

Impairment::Counts Impairment::counts() const
{
    Counts counts;
    counts.seen = m_seen;
    counts.lost = m_loss.counts().dropped;
    counts.swallowed = m_outage ? m_outage->swallowed() : 0;
    counts.capped = m_rate.counts().capped;
    counts.held = m_rate.counts().held;
    counts.longestHoldUs = m_rate.counts().longestWaitUs;
    counts.delayed = m_delay.counts().delayed;
    counts.reordered = m_delay.counts().reordered;
    return counts;
}

} // namespace zephyrscope::tools::impair

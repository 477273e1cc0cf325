#include "ChunkImpairment.h"

#include <algorithm>
#include <limits>

namespace zephyrscope::tools {

namespace {

impair::RateCap::Params capOf(const ChunkImpairment::Params& params)
{
    impair::RateCap::Params rate;
    rate.bitsPerSecond = params.rateBitsPerSecond;
    rate.bucketBytes = params.rateBucketBytes;
    rate.queueBytes = std::numeric_limits<std::int64_t>::max() / 2; // TCP's sender waits, never drops
    return rate;
}

impair::DelayModel::Params unorderedDelayOf(const ChunkImpairment::Params& params)
{
    impair::DelayModel::Params delay = params.delay;
    delay.keepOrder = false; // kept per connection, not across the link
    return delay;
}

} // namespace

ChunkImpairment::ChunkImpairment(const Params& params)
    : m_params(params)
    , m_loss(params.loss)
    , m_rate(capOf(params))
    , m_delay(unorderedDelayOf(params))
{
}

std::optional<std::pair<std::int64_t, std::int64_t>> ChunkImpairment::outageWindow() const
{
    if (!m_outageStartUs || m_params.outage.durationUs <= 0)
        return std::nullopt;
    return std::make_pair(*m_outageStartUs, *m_outageStartUs + m_params.outage.durationUs);
}

std::int64_t ChunkImpairment::departureUs(std::int64_t nowUs, std::size_t size, int connection)
{
    if (!m_outageStartUs)
        m_outageStartUs = nowUs + m_params.outage.startUs;
    ++m_counts.chunks;
    m_counts.bytes += size;

    std::int64_t at = nowUs;
    if (m_rate.active()) {
        const std::int64_t leaves = m_rate.departureUs(at, size).value_or(at);
        if (leaves > at) {
            ++m_counts.capped;
            m_counts.cappedUs += leaves - at;
        }
        at = leaves;
    }
    const bool lost = m_loss.drops();
    if (lost) {
        ++m_counts.retransmitted;
        if (!m_lastLost)
            ++m_counts.bursts;
        at += m_params.retransmitUs;
    }
    m_lastLost = lost;
    if (m_delay.active()) {
        const std::int64_t leaves = m_delay.departureUs(at);
        if (leaves > at) {
            ++m_counts.delayed;
            m_counts.delayedUs += leaves - at;
        }
        at = leaves;
    }
    // Before order: the chunk before, if held into the outage, leaves at its end too.
    if (const auto window = outageWindow(); window && at >= window->first && at < window->second) {
        ++m_counts.heldByOutage;
        m_counts.heldByOutageUs += window->second - at;
        at = window->second;
    }
    const auto last = m_lastDepartureUs.find(connection);
    if (last != m_lastDepartureUs.end() && last->second > at) {
        ++m_counts.heldForOrder;
        m_counts.heldForOrderUs += last->second - at;
        at = last->second;
    }
    m_lastDepartureUs[connection] = at;
    if (at > nowUs) {
        ++m_counts.held;
        m_counts.heldUs += at - nowUs;
        m_counts.longestHoldUs = std::max(m_counts.longestHoldUs, at - nowUs);
    }
    return at;
}

} // namespace zephyrscope::tools

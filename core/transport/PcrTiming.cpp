#include "PcrTiming.h"

#include "TsPacket.h"

#include <algorithm>
#include <cmath>

namespace zephyrscope {

namespace {

std::int64_t wrappedDelta(std::int64_t from, std::int64_t to)
{
    std::int64_t delta = ((to - from) % kPcrWrapTicks + kPcrWrapTicks) % kPcrWrapTicks;
    return delta > kPcrWrapTicks / 2 ? delta - kPcrWrapTicks : delta;
}

} // namespace

void PcrTiming::take(std::int64_t pcrTicks, std::uint64_t bytePosition, bool discontinuity,
                     std::optional<std::int64_t> arrivalUs, TsErrorCounts& errors)
{
    if (m_lastTicks && discontinuity) {
        restart();
    } else if (m_lastTicks) {
        const std::int64_t delta = wrappedDelta(*m_lastTicks, pcrTicks);
        const bool newTimeBase = delta < 0 || delta > kNewTimeBaseUs * kTicksPerUs;
        if (delta < 0 || delta > kRepetitionUs * kTicksPerUs)
            ++errors.pcrDiscontinuity;
        if (!newTimeBase && delta > kRepetitionUs * kTicksPerUs)
            ++errors.pcrRepetition;
        if (newTimeBase)
            restart();
        else
            m_unwrapped += delta;
    }
    m_lastTicks = pcrTicks;
    m_recent.push_back({m_unwrapped, bytePosition});
    if (m_recent.size() > kRateWindow)
        m_recent.pop_front();
    judgeAccuracy(errors);
    if (arrivalUs)
        measureJitter(*arrivalUs, m_unwrapped / kTicksPerUs);
}

std::optional<double> PcrTiming::jitterMs() const
{
    if (m_jitters.empty())
        return std::nullopt;
    const auto largest = std::max_element(m_jitters.begin(), m_jitters.end(),
                                          [](const Timed& a, const Timed& b) { return a.valueUs < b.valueUs; });
    return static_cast<double>(largest->valueUs) / 1000.0;
}

void PcrTiming::restart()
{
    // A new time base: nothing before it says anything about the PCRs after it.
    m_unwrapped = 0;
    m_recent.clear();
    m_transits.clear();
}

void PcrTiming::judgeAccuracy(TsErrorCounts& errors)
{
    if (m_recent.size() < kRateWindow)
        return;
    const Reference& first = m_recent.front();
    const Reference& last = m_recent.back();
    if (last.position <= first.position)
        return;
    // Constant rate: every PCR of the window close to the line through its ends.
    const double ticksPerByte
        = static_cast<double>(last.ticks - first.ticks) / static_cast<double>(last.position - first.position);
    double furthestTicks = 0;
    for (const Reference& r : m_recent) {
        const double onLine = static_cast<double>(first.ticks) + ticksPerByte * static_cast<double>(r.position - first.position);
        furthestTicks = std::max(furthestTicks, std::abs(static_cast<double>(r.ticks) - onLine));
    }
    m_constantRate = furthestTicks <= static_cast<double>(kConstantRateToleranceUs * kTicksPerUs);
    if (!m_constantRate)
        return;
    // The PCR before the last, against its neighbours.
    const Reference& a = m_recent[m_recent.size() - 3];
    const Reference& b = m_recent[m_recent.size() - 2];
    const Reference& c = last;
    if (c.position <= a.position)
        return;
    const double expected = static_cast<double>(a.ticks)
        + static_cast<double>(c.ticks - a.ticks) * static_cast<double>(b.position - a.position)
            / static_cast<double>(c.position - a.position);
    const double offNs = (static_cast<double>(b.ticks) - expected) * 1000.0 / static_cast<double>(kTicksPerUs);
    if (std::abs(offNs) > static_cast<double>(kAccuracyNs))
        ++errors.pcrAccuracy;
}

void PcrTiming::measureJitter(std::int64_t arrivalUs, std::int64_t pcrUs)
{
    if (!m_firstArrivalUs)
        m_firstArrivalUs = arrivalUs;
    if (arrivalUs < *m_firstArrivalUs + kSettleUs)
        return;
    // The least transit over the baseline window: a deque of rising transits.
    const std::int64_t transitUs = arrivalUs - pcrUs;
    while (!m_transits.empty() && m_transits.back().valueUs >= transitUs)
        m_transits.pop_back();
    m_transits.push_back({arrivalUs, transitUs});
    while (m_transits.front().arrivalUs < arrivalUs - kBaselineUs)
        m_transits.pop_front();
    m_jitters.push_back({arrivalUs, transitUs - m_transits.front().valueUs});
    while (m_jitters.front().arrivalUs < arrivalUs - kJitterWindowUs)
        m_jitters.pop_front();
}

} // namespace zephyrscope

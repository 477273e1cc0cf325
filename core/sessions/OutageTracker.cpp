#include "OutageTracker.h"

namespace zephyrscope {

OutageTracker::OutageTracker(Clock& clock)
    : m_clock(clock)
{
}

std::optional<Outage> OutageTracker::playing()
{
    m_up = true;
    const std::optional<Outage> ended = openOutage();
    if (ended)
        m_closedMs += ended->durationMs;
    m_open.reset();
    return ended;
}

std::optional<Outage> OutageTracker::down(const std::string& reason)
{
    m_up = false;
    if (m_open)
        return std::nullopt;
    const std::int64_t startedWallMs = WallClockMs(m_clock.wallClock());
    m_openSince = m_clock.processClock();
    m_open = Outage {reason, startedWallMs, 0};
    ++m_outages;
    return m_open;
}

std::int64_t OutageTracker::outageMs()
{
    if (!m_open)
        return m_closedMs;
    return m_closedMs + ClockDifference(m_clock.processClock(), m_openSince);
}

std::optional<Outage> OutageTracker::openOutage()
{
    if (!m_open)
        return std::nullopt;
    Outage open = *m_open;
    open.durationMs = ClockDifference(m_clock.processClock(), m_openSince);
    return open;
}

} // namespace zephyrscope

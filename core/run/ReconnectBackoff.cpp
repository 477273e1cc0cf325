#include "ReconnectBackoff.h"

#include <algorithm>

namespace zephyrscope {

ReconnectBackoff::ReconnectBackoff(Clock& clock)
    : m_clock(clock)
{
}

void ReconnectBackoff::playing()
{
    if (m_playing)
        return;
    m_playing = true;
    m_playingSince = m_clock.processClock();
}

void ReconnectBackoff::endStretch()
{
    if (!m_playing)
        return;
    m_playing = false;
    if (ClockDifference(m_clock.processClock(), m_playingSince) >= kHealthyPlayMs)
        m_delayMs = kFirstDelayMs;
}

std::int32_t ReconnectBackoff::nextDelayMs()
{
    endStretch();
    const std::int32_t delay = m_delayMs;
    m_delayMs = std::min(m_delayMs * 2, kMaxDelayMs);
    return delay;
}

} // namespace zephyrscope

#include "StretchTracker.h"

namespace zephyrscope {

StretchTracker::StretchTracker(std::int64_t minDurationUs)
    : m_minDurationUs(minDurationUs)
{
}

StretchTracker::Change StretchTracker::observe(bool holds, std::int64_t timeUs, std::int64_t durationUs)
{
    Change change = Change::None;
    if (timeUs < m_lastUs)
        change = finish();
    m_lastUs = timeUs;
    if (!holds) {
        // The stretch ends where the first observation without it begins.
        const bool wasOpen = m_open;
        if (m_candidate)
            m_endUs = timeUs;
        m_candidate = m_open = false;
        return wasOpen ? Change::Ended : change;
    }
    if (!m_candidate) {
        m_candidate = true;
        m_startUs = timeUs;
    }
    m_endUs = timeUs + durationUs;
    if (!m_open && m_endUs - m_startUs >= m_minDurationUs) {
        m_open = true;
        return Change::Started;
    }
    return change;
}

StretchTracker::Change StretchTracker::finish()
{
    const bool wasOpen = m_open;
    m_candidate = m_open = false;
    m_lastUs = -1;
    return wasOpen ? Change::Ended : Change::None;
}

} // namespace zephyrscope

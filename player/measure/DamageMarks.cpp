#include "DamageMarks.h"

namespace zephyrscope {

void DamageMarks::unitIn(const Unit& unit)
{
    const std::int64_t timeUs = unit.dtsUs >= 0 ? unit.dtsUs : unit.ptsUs;
    // The stream's first unit has nothing before it to miss.
    bool lost = m_lossPending || (unit.lostBefore && !m_first);
    m_lossPending = false;
    // Units missing before this one. A jump of seconds is no new start here, as
    // it is for the frames counted missing: whatever its cause, a delta unit
    // after it lacks what it refers to, and a key frame needs nothing.
    if (timeUs >= 0) {
        if (m_lastUs >= 0 && unit.frameUs > 0 && timeUs > m_lastUs && 2 * (timeUs - m_lastUs) >= 3 * unit.frameUs)
            lost = true;
        m_lastUs = timeUs;
    }
    const bool broken = unit.broken && !m_first;
    m_first = false;
    const bool open = !m_spans.empty() && m_spans.back().toUs < 0;
    if (unit.key && !broken) {
        // A whole key frame: the pictures from it on need nothing that was lost.
        if (open)
            m_spans.back().toUs = unit.ptsUs >= 0 ? unit.ptsUs : timeUs;
        return;
    }
    if (!(lost || broken) || open || unit.ptsUs < 0)
        return;
    ++m_losses;
    if (m_spans.size() == kMaxSpans)
        m_spans.pop_front();
    m_spans.push_back({unit.ptsUs, -1});
}

bool DamageMarks::damaged(std::int64_t ptsUs)
{
    if (ptsUs < 0)
        return false;
    while (!m_spans.empty() && m_spans.front().toUs >= 0 && ptsUs >= m_spans.front().toUs)
        m_spans.pop_front();
    return !m_spans.empty() && ptsUs >= m_spans.front().fromUs;
}

void DamageMarks::reset()
{
    m_lastUs = -1;
    m_spans.clear();
    m_lossPending = false;
    m_first = true;
}

} // namespace zephyrscope

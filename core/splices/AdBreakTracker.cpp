#include "AdBreakTracker.h"

namespace zephyrscope {

void AdBreakTracker::heard(const SpliceCommand& command, std::int64_t nowMs)
{
    if (!command.outOfNetwork || !command.eventId)
        return;
    const std::int64_t at = command.spliceWallMs.value_or(nowMs);
    if (*command.outOfNetwork) {
        m_out = true;
        m_eventId = *command.eventId;
        m_startMs = at;
        m_endMs.reset();
        if (command.durationMs)
            m_endMs = at + *command.durationMs;
        return;
    }
    // Back in: only for the break it names, and no later than its own end.
    if (m_out && *command.eventId == m_eventId && (!m_endMs || at < *m_endMs))
        m_endMs = at;
}

bool AdBreakTracker::on(std::int64_t nowMs) const
{
    return m_out && nowMs >= m_startMs && (!m_endMs || nowMs < *m_endMs);
}

} // namespace zephyrscope

#include "EntryOutcomes.h"

#include "PlayState.h"

namespace zephyrscope {

void EntryOutcomes::see(std::int64_t firstFrameWallMs)
{
    if (firstFrameWallMs > 0 && firstFrameWallMs != m_staleFirstFrameMs)
        m_started = true;
}

void EntryOutcomes::end(bool failed)
{
    if (failed)
        ++(m_started ? m_playbackFailures : m_startFailures);
    else if (!m_started)
        ++m_exitsBeforeStart;
    m_active = false;
    m_started = false;
}

void EntryOutcomes::playStateChanged(std::int32_t state, std::int64_t firstFrameWallMs)
{
    switch (state) {
    case kPlayStateTransitioning:
        // The next entry begins: one still going played to its end.
        if (m_active)
            end(false);
        m_active = true;
        m_started = false;
        m_staleFirstFrameMs = firstFrameWallMs;
        break;
    case kPlayStateBuffering:
    case kPlayStatePlaying:
        if (m_active)
            see(firstFrameWallMs);
        break;
    case kPlayStateMediaEnded:
    case kPlayStateStopped:
        if (m_active) {
            see(firstFrameWallMs);
            end(false);
        }
        break;
    default:
        break;
    }
}

void EntryOutcomes::ticked(std::int32_t state, std::int64_t firstFrameWallMs)
{
    if (!m_active)
        return;
    see(firstFrameWallMs);
    m_started = m_started || state == kPlayStatePlaying;
}

void EntryOutcomes::failed(std::int64_t firstFrameWallMs)
{
    if (m_active)
        see(firstFrameWallMs);
    end(true);
}

void EntryOutcomes::runEnded()
{
    if (m_active)
        end(false);
}

} // namespace zephyrscope

#include "StallTiming.h"

#include <algorithm>

namespace zephyrscope {

void StallTiming::frameShown(std::int64_t us)
{
    // Any frame after a stall began is new; after a pause, the first once the
    // pipeline plays again (a paused sink still shows the frame it prerolls on).
    if (m_open && (!m_waitForPlaying || (m_playingAgainUs > 0 && us >= m_playingAgainUs))) {
        m_last.resumedUs = std::max(us, m_last.sinceUs);
        m_open = false;
    }
    if (m_lastFrameUs > 0 && us > m_lastFrameUs) {
        m_intervals[m_intervalCount % kIntervals] = us - m_lastFrameUs;
        ++m_intervalCount;
    }
    if (us > m_lastFrameUs) {
        m_previousFrameUs = m_lastFrameUs;
        m_lastFrameUs = us;
    }
}

std::int64_t StallTiming::frameIntervalUs() const
{
    const std::size_t n = std::min(m_intervalCount, kIntervals);
    if (n == 0)
        return 0;
    std::array<std::int64_t, kIntervals> sorted = m_intervals;
    const auto end = sorted.begin() + static_cast<std::ptrdiff_t>(n);
    std::nth_element(sorted.begin(), sorted.begin() + static_cast<std::ptrdiff_t>(n / 2), end);
    return sorted[n / 2];
}

void StallTiming::stallBegan(std::int64_t nowUs, bool paused)
{
    // The last stall's first new frame is in the sink, still to be shown: the
    // picture has not moved since that stall began, so this is the same stall,
    // already timed. (A live jitter buffer can hand over its burst of late
    // packets and then go quiet for a second while their frames wait for their
    // time.) A pause is different: it stops the clock, so that frame comes later.
    if (!paused && !m_open && m_last.resumedUs > nowUs)
        return;
    ++m_count;
    // A picture still moving stops now; one that stood still stopped when its
    // next frame did not come. Without any frame yet the stall is the state's.
    m_last.sinceUs = m_lastFrameUs > 0 ? std::min(nowUs, m_lastFrameUs + frameIntervalUs()) : nowUs;
    // Paused before the next frame was due (one the sink already has, given with
    // a later time, or still to come): the pipeline's clock stops, so that frame
    // shows as much later as the pause lasts. The stall starts when it was due
    // and ends that long after the pipeline plays again.
    const std::int64_t dueUs = m_lastFrameUs > nowUs ? m_lastFrameUs : m_lastFrameUs + frameIntervalUs();
    m_heldUs = paused && m_lastFrameUs > 0 && dueUs > nowUs ? dueUs - nowUs : 0;
    if (m_heldUs > 0)
        m_last.sinceUs = dueUs;
    m_last.resumedUs = 0;
    m_open = true;
    m_waitForPlaying = paused;
    m_playingAgainUs = 0;
    // The sink holds a frame for later while the clock runs: the picture stopped
    // after the frame before it (not now, when the stall was seen), and that
    // frame is the first new one.
    if (!paused && m_lastFrameUs > nowUs && m_previousFrameUs > 0) {
        m_last.sinceUs = std::min(nowUs, m_previousFrameUs + frameIntervalUs());
        m_last.resumedUs = m_lastFrameUs;
        m_open = false;
    }
}

void StallTiming::stallOver(std::int64_t nowUs)
{
    if (m_open && m_lastFrameUs == 0) {
        // No picture to go by (audio alone): the stall is the play state's.
        m_last.resumedUs = nowUs;
        m_open = false;
    } else if (m_open && m_waitForPlaying && m_playingAgainUs == 0) {
        m_playingAgainUs = nowUs;
        if (m_heldUs > 0) {
            m_last.resumedUs = nowUs + m_heldUs;
            m_open = false;
        }
    }
}

} // namespace zephyrscope

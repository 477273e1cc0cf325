#include "FreezeDetector.h"

#include <cmath>

namespace zephyrscope {

FreezeDetector::FreezeDetector(const ContentSettings& settings)
    : m_noise(std::pow(10.0, settings.freezeNoiseDb / 20.0))
    , m_stretch(settings.freezeMinUs)
{
}

StretchTracker::Change FreezeDetector::observe(const PictureSummary& picture, bool black, std::int64_t timeUs,
                                               std::int64_t durationUs)
{
    const bool same = !black && picture.difference && *picture.difference <= m_noise;
    StretchTracker::Change change;
    if (same && !m_still && m_previousUs >= 0 && m_previousUs < timeUs)
        // The picture has stood still since the one before this was shown.
        change = m_stretch.observe(true, m_previousUs, timeUs + durationUs - m_previousUs);
    else
        change = m_stretch.observe(same, timeUs, durationUs);
    m_still = same;
    m_previousUs = timeUs;
    return change;
}

StretchTracker::Change FreezeDetector::finish()
{
    m_still = false;
    m_previousUs = -1;
    return m_stretch.finish();
}

} // namespace zephyrscope

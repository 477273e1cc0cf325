#include "SilenceDetector.h"

namespace zephyrscope {

SilenceDetector::SilenceDetector(const ContentSettings& settings)
    : m_levelDbfs(settings.silenceDbfs)
    , m_stretch(settings.silenceMinUs)
{
}

StretchTracker::Change SilenceDetector::observe(double peakDbfs, std::int64_t timeUs, std::int64_t durationUs)
{
    return m_stretch.observe(peakDbfs < m_levelDbfs, timeUs, durationUs);
}

} // namespace zephyrscope

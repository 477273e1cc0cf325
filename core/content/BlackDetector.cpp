#include "BlackDetector.h"

namespace zephyrscope {

BlackDetector::BlackDetector(const ContentSettings& settings)
    : m_pixelShare(settings.blackPixelShare)
    , m_stretch(settings.blackMinUs)
{
}

StretchTracker::Change BlackDetector::observe(const PictureSummary& picture, std::int64_t timeUs,
                                              std::int64_t durationUs)
{
    return m_stretch.observe(black(picture), timeUs, durationUs);
}

} // namespace zephyrscope

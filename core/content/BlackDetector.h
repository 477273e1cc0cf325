#pragma once

#include "ContentSettings.h"
#include "LumaSample.h"
#include "StretchTracker.h"

namespace zephyrscope {

// Black stretches: pictures nearly all dark (the settings' share of pixels
// below their share of the luma range) for at least the minimum. Pure.
class BlackDetector {
public:
    explicit BlackDetector(const ContentSettings& settings);

    bool black(const PictureSummary& picture) const { return picture.darkShare >= m_pixelShare; }
    // One picture shown over [timeUs, timeUs + durationUs).
    StretchTracker::Change observe(const PictureSummary& picture, std::int64_t timeUs, std::int64_t durationUs);
    StretchTracker::Change finish() { return m_stretch.finish(); }
    const StretchTracker& stretch() const { return m_stretch; }

private:
    double m_pixelShare;
    StretchTracker m_stretch;
};

} // namespace zephyrscope

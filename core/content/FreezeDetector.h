#pragma once

#include "ContentSettings.h"
#include "LumaSample.h"
#include "StretchTracker.h"

namespace zephyrscope {

// Frozen stretches: new pictures keep coming but each equals the one before
// within the noise level, for at least the minimum. A still picture starts
// with the last picture that changed, so the stretch begins at that picture's
// time. A black picture is counted as black, not frozen: the two never
// overlap, so a viewer's time is counted once. (A stall, where no picture
// comes at all, is neither.) Pure.
class FreezeDetector {
public:
    explicit FreezeDetector(const ContentSettings& settings);

    // One picture shown over [timeUs, timeUs + durationUs); black: the black
    // detector took it as black.
    StretchTracker::Change observe(const PictureSummary& picture, bool black, std::int64_t timeUs,
                                   std::int64_t durationUs);
    StretchTracker::Change finish();
    const StretchTracker& stretch() const { return m_stretch; }

private:
    double m_noise; // share of the luma range
    StretchTracker m_stretch;
    bool m_still = false;
    std::int64_t m_previousUs = -1;
};

} // namespace zephyrscope

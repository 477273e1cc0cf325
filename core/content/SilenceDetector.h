#pragma once

#include "ContentSettings.h"
#include "StretchTracker.h"

namespace zephyrscope {

// Silent stretches: sound whose peak stays below the level (digital silence
// too) for at least the minimum. Fed with short blocks of sound (10 ms), so a
// stretch's ends are found to a block. Pure.
class SilenceDetector {
public:
    explicit SilenceDetector(const ContentSettings& settings);

    // One block over [timeUs, timeUs + durationUs); peakDbfs: its largest
    // sample in dB full scale (-infinity for digital silence).
    StretchTracker::Change observe(double peakDbfs, std::int64_t timeUs, std::int64_t durationUs);
    StretchTracker::Change finish() { return m_stretch.finish(); }
    const StretchTracker& stretch() const { return m_stretch; }

private:
    double m_levelDbfs;
    StretchTracker m_stretch;
};

} // namespace zephyrscope

#include "QoeScore.h"

#include <algorithm>
#include <cmath>

namespace zephyrscope {

namespace {

constexpr double kMosBest = 5.0, kMosWorst = 1.0;

double unitOf(double mos)
{
    return std::clamp((mos - kMosWorst) / (kMosBest - kMosWorst), 0.0, 1.0);
}

// A share of the top variant: full marks at the top, a fixed loss per halving.
double shareQuality(double ratio)
{
    if (!(ratio > 0.0))
        return 0.0;
    return std::clamp(1.0 + qoe::kQualityPerHalving * std::log2(std::min(ratio, 1.0)), 0.0, 1.0);
}

// The stall model's MOS for count interruptions of seconds in all.
double interruptionMos(int count, double seconds)
{
    const int n = std::max(count, 0);
    const double meanLength = n > 0 ? std::max(seconds, 0.0) / n : 0.0;
    return qoe::kStallAmplitude * std::exp(-(qoe::kStallPerSecond * meanLength + qoe::kStallPerEvent) * n)
        + qoe::kStallFloor;
}

} // namespace

QoeScore ScoreSession(const QoeInputs& in)
{
    QoeScore s;
    s.stallMos = interruptionMos(in.stalls, in.stallSeconds);
    // A broken picture interrupts the viewing as a stall does: weighed alike.
    s.damageMos = interruptionMos(in.damageStretches, in.damagedSeconds);
    s.startMos = std::max(kMosWorst, kMosBest - qoe::kStartSlope * std::log1p(std::max(in.startupSeconds, 0.0)));
    s.quality = (shareQuality(in.resolutionRatio) + shareQuality(in.bitRateRatio)) / 2.0;
    s.score = in.started ? 100.0 * unitOf(s.stallMos) * unitOf(s.damageMos) * unitOf(s.startMos) * s.quality : 0.0;
    return s;
}

} // namespace zephyrscope

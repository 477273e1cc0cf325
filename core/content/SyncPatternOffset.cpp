#include "SyncPatternOffset.h"

#include <algorithm>
#include <cstdlib>
#include <vector>

namespace zephyrscope {

namespace {

constexpr double kBrightLevel = 0.5;
// A beep is loud above this and the quiet between beeps below the other: the
// gap keeps noise around one level from making beeps.
constexpr double kLoudDbfs = -30.0, kQuietDbfs = -50.0;
constexpr std::int64_t kPeriodUs = 1000000, kPeriodToleranceUs = 100000;
constexpr std::int64_t kMaxPairUs = 500000; // half a period: farther is the next flash's beep
constexpr std::int64_t kPatternLostUs = 3000000;
constexpr std::size_t kKept = 6, kNeeded = 3;

} // namespace

void SyncPatternOffset::keep(std::deque<std::int64_t>& onsets, std::int64_t timeUs)
{
    onsets.push_back(timeUs);
    if (onsets.size() > kKept)
        onsets.pop_front();
}

void SyncPatternOffset::observePicture(double meanLevel, std::int64_t timeUs)
{
    const bool bright = meanLevel >= kBrightLevel;
    if (bright && !m_bright)
        keep(m_flashesUs, timeUs);
    m_bright = bright;
    m_latestUs = std::max(m_latestUs, timeUs);
}

void SyncPatternOffset::observeSound(double peakDbfs, std::int64_t timeUs)
{
    if (peakDbfs >= kLoudDbfs && !m_loud)
        keep(m_beepsUs, timeUs);
    if (peakDbfs >= kLoudDbfs)
        m_loud = true;
    else if (peakDbfs < kQuietDbfs)
        m_loud = false;
    m_latestUs = std::max(m_latestUs, timeUs);
}

bool SyncPatternOffset::periodic(const std::deque<std::int64_t>& onsets)
{
    if (onsets.size() < kNeeded)
        return false;
    for (std::size_t i = onsets.size() - kNeeded + 1; i < onsets.size(); ++i)
        if (std::llabs(onsets[i] - onsets[i - 1] - kPeriodUs) > kPeriodToleranceUs)
            return false;
    return true;
}

std::optional<double> SyncPatternOffset::offsetMs() const
{
    if (!periodic(m_flashesUs) || !periodic(m_beepsUs))
        return std::nullopt;
    if (m_latestUs - std::max(m_flashesUs.back(), m_beepsUs.back()) > kPatternLostUs)
        return std::nullopt;
    std::vector<std::int64_t> offsets;
    for (const std::int64_t beep : m_beepsUs) {
        const auto nearest = std::min_element(m_flashesUs.begin(), m_flashesUs.end(), [beep](auto a, auto b) {
            return std::llabs(beep - a) < std::llabs(beep - b);
        });
        if (std::llabs(beep - *nearest) < kMaxPairUs)
            offsets.push_back(beep - *nearest);
    }
    if (offsets.size() < kNeeded)
        return std::nullopt;
    std::nth_element(offsets.begin(), offsets.begin() + offsets.size() / 2, offsets.end());
    return static_cast<double>(offsets[offsets.size() / 2]) / 1000.0;
}

void SyncPatternOffset::reset()
{
    m_flashesUs.clear();
    m_beepsUs.clear();
    m_bright = m_loud = false;
    m_latestUs = 0;
}

} // namespace zephyrscope

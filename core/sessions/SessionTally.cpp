#include "SessionTally.h"

#include "PlayState.h"
#include "Protocol.h"

#include <algorithm>
#include <string_view>

namespace zephyrscope {

namespace {

// A longer gap is sampling stopped, not time played (as the report's samples).
constexpr double kMaxTickGapSeconds = 1.5;
constexpr double kMsPerSecond = 1000.0;

} // namespace

void SessionTally::tick(const SampleLine& line, const NetworkFigures& figures)
{
    const std::int64_t wallMs = WallClockMs(line.utcTime);
    if (m_lastWallMs > 0) {
        const double gap = static_cast<double>(wallMs - m_lastWallMs) / kMsPerSecond;
        if (gap > 0.0 && gap <= kMaxTickGapSeconds) {
            if (m_lastPlaying) {
                m_playingSeconds += gap;
                m_bitRateSeconds += m_lastBitRate * gap;
                if (m_lastPixels > 0.0) {
                    m_pixelSeconds += m_lastPixels * gap;
                    m_pixelPlayingSeconds += gap;
                }
            } else if (m_lastStalled) {
                m_stalledSeconds += gap;
            }
        }
    }
    m_lastWallMs = wallMs;
    m_adaptive = m_adaptive || isAdaptive(figures.protocol);
    // By name: the report's samples carry the state's name only.
    const std::string_view state = line.stateName ? line.stateName : "";
    const bool playing = state == PlayStateName(kPlayStatePlaying);
    const bool stalled = state == PlayStateName(kPlayStateBuffering) || state == PlayStateName(kPlayStateReconnecting);
    m_started = m_started || figures.startupMs > 0 || playing;
    // A live stream's first picture can come while it still buffers: that is its
    // start, and a stall only comes after it played.
    m_played = m_played || playing;
    m_lastPlaying = playing;
    m_lastStalled = m_played && stalled;
    // 0 is "not known yet", not a variant.
    m_lastBitRate = m_adaptive ? (figures.bandWidth > 0 ? figures.bandWidth : m_lastBitRate) : figures.bitRate;
    m_lastPixels = static_cast<double>(figures.videoWidth) * figures.videoHeight;
    if (playing) {
        m_topBitRate = std::max(m_topBitRate, m_lastBitRate);
        m_topPixels = std::max(m_topPixels, m_lastPixels);
    }
    m_startupMs = std::max(m_startupMs, figures.startupMs);
    m_stalls = std::max(m_stalls, figures.stallsTimed);
    m_damageStretches = std::max(m_damageStretches, figures.damageEvents);
    m_damagedMs = std::max(m_damagedMs, figures.damagedMs);
}

double SessionTally::rebufferingRatio() const
{
    const double whole = m_playingSeconds + m_stalledSeconds;
    return whole > 0.0 ? m_stalledSeconds / whole : 0.0;
}

std::optional<double> SessionTally::averageBitRate() const
{
    if (m_playingSeconds <= 0.0)
        return std::nullopt;
    return m_bitRateSeconds / m_playingSeconds;
}

double SessionTally::resolutionRatio() const
{
    if (m_pixelPlayingSeconds <= 0.0 || m_topPixels <= 0.0)
        return 1.0;
    return m_pixelSeconds / m_pixelPlayingSeconds / m_topPixels;
}

double SessionTally::bitRateRatio() const
{
    // One variant only: what played was the stream's best.
    if (!m_adaptive || m_playingSeconds <= 0.0 || m_topBitRate <= 0.0)
        return 1.0;
    return m_bitRateSeconds / m_playingSeconds / m_topBitRate;
}

QoeInputs SessionTally::inputs() const
{
    QoeInputs in;
    in.started = m_started;
    in.startupSeconds = m_startupMs / kMsPerSecond;
    in.stalls = m_stalls;
    in.stallSeconds = m_stalledSeconds;
    in.damageStretches = m_damageStretches;
    in.damagedSeconds = static_cast<double>(m_damagedMs) / kMsPerSecond;
    in.resolutionRatio = resolutionRatio();
    in.bitRateRatio = bitRateRatio();
    return in;
}

} // namespace zephyrscope

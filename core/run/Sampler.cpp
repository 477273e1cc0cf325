#include "Sampler.h"

#include "LogSink.h"
#include "PlayState.h"
#include "PlaybackValues.h"
#include "Player.h"
#include "TextDisplay.h"

namespace zephyrscope {

namespace {

constexpr double kSecondsPerMs = 0.001;
constexpr double kFpsPerHundredth = 0.01;

} // namespace

Sampler::Sampler(Clock& clock, Player& player, LogSink& log, TextDisplay& fpsBox, PlaybackValues& values)
    : m_clock(clock)
    , m_player(player)
    , m_log(log)
    , m_fpsBox(fpsBox)
    , m_values(values)
{
}

void Sampler::OnTimer()
{
    if (!m_hasSampleBase) {
        m_sampleBaseClock = m_clock.processClock();
        m_hasSampleBase = true;
    }
    if (m_values.m_restartClock == 1) {
        m_sampleBaseClock = m_clock.processClock();
        m_values.m_restartClock = 0;
    }
    const ProcessClockMs now = m_clock.processClock();

    SampleLine& s = m_sample;
    s.elapsed = static_cast<double>(ClockDifference(now, m_sampleBaseClock)) * kSecondsPerMs;
    s.utcTime = m_clock.wallClock();

    // One snapshot, into the one the last tick filled: the same buffers again.
    m_player.snapshot(s.network);
    s.fps = static_cast<double>(s.network.frameRate) * kFpsPerHundredth;
    m_fpsBox.setText(FormatFps(s.fps));
    const std::int32_t playState = s.network.playState;
    s.iFramerate = iFramerate(now, s.fps, playState);
    s.stateName = PlayStateName(playState);

    FormatSampleLine(s, m_line);
    m_log.append(m_line);
}

double Sampler::iFramerate(ProcessClockMs now, double fps, std::int32_t playState)
{
    if (playState != kPlayStatePlaying)
        return 0.0;

    const double previousFrames = m_frameEstimate;
    const double previousSeconds = m_playSeconds;

    const double t = static_cast<double>(ClockDifference(now, m_values.m_playStartClock)) * kSecondsPerMs;
    m_playSeconds = t;
    const double frames = t * fps;
    m_frameEstimate = frames;

    double baseFrames = previousFrames;
    double baseSeconds = previousSeconds;
    if (t < previousSeconds) {
        // A new play start since the last tick in Playing: count from it.
        baseFrames = 0.0;
        baseSeconds = 0.0;
    } else if (frames < previousFrames) {
        // The estimate never runs backwards within one play; hold it.
        m_frameEstimate = previousFrames;
    } else if (previousFrames == 0.0) {
        baseSeconds = 0.0; // and baseFrames is 0 already
    }

    const double seconds = t - baseSeconds;
    // Two ticks with the same play time, or a tick in the millisecond of the play
    // start, give no interval to measure over.
    if (seconds == 0.0)
        return 0.0;
    return (m_frameEstimate - baseFrames) / seconds;
}

} // namespace zephyrscope

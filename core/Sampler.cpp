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

// Each statistic is read through a network object of its own, released right after.
template <typename Read>
auto readNetwork(Player& player, Read read)
{
    auto network = player.network();
    return read(*network);
}

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
        s_sampleBaseClock = m_clock.processClock();
        m_hasSampleBase = true;
    }
    if (m_values.m_restartClock == 1) {
        s_sampleBaseClock = m_clock.processClock();
        m_values.m_restartClock = 0;
    }
    const ProcessClockMs now = m_clock.processClock();

    SampleLine& s = m_sample;
    s.elapsed = static_cast<double>(ClockDifference(now, s_sampleBaseClock)) * kSecondsPerMs;
    s.utcTime = m_clock.wallClock();

    s.fps = static_cast<double>(readNetwork(m_player, [](PlayerNetwork& n) { return n.frameRate(); })) * kFpsPerHundredth;
    m_fpsBox.setText(FormatFps(s.fps));

    s.bufferingProgress = readNetwork(m_player, [](PlayerNetwork& n) { return n.bufferingProgress(); });
    s.bitRate = readNetwork(m_player, [](PlayerNetwork& n) { return n.bitRate(); });
    s.bandWidth = readNetwork(m_player, [](PlayerNetwork& n) { return n.bandWidth(); });
    s.maxBandwidth = readNetwork(m_player, [](PlayerNetwork& n) { return n.maxBandwidth(); });
    s.encodedFrameRate = readNetwork(m_player, [](PlayerNetwork& n) { return n.encodedFrameRate(); });
    s.framesSkipped = readNetwork(m_player, [](PlayerNetwork& n) { return n.framesSkipped(); });
    s.receivedPackets = readNetwork(m_player, [](PlayerNetwork& n) { return n.receivedPackets(); });
    s.lostPackets = readNetwork(m_player, [](PlayerNetwork& n) { return n.lostPackets(); });
    s.recoveredPackets = readNetwork(m_player, [](PlayerNetwork& n) { return n.recoveredPackets(); });
    s.receptionQuality = readNetwork(m_player, [](PlayerNetwork& n) { return n.receptionQuality(); });
    s.protocol = readNetwork(m_player, [](PlayerNetwork& n) { return n.sourceProtocol(); });
    s.bufferingCount = readNetwork(m_player, [](PlayerNetwork& n) { return n.bufferingCount(); });
    s.bufferingTime = readNetwork(m_player, [](PlayerNetwork& n) { return n.bufferingTime(); });
    const std::int32_t playState = m_player.playState();

    s.iFramerate = iFramerate(now, s.fps, playState);
    s.stateName = PlayStateName(playState);
    s.playState = playState;

    FormatSampleLine(s, m_line);
    m_log.append(m_line);
}

double Sampler::iFramerate(ProcessClockMs now, double fps, std::int32_t playState)
{
    if (playState != kPlayStatePlaying)
        return 0.0;

    const double previousFrames = s_frameEstimate;
    const double previousSeconds = s_playSeconds;

    const double t = static_cast<double>(ClockDifference(now, m_values.m_playStartClock)) * kSecondsPerMs;
    s_playSeconds = t;
    const double frames = t * fps;
    s_frameEstimate = frames;

    double baseFrames;
    double baseSeconds;
    if (t < previousSeconds) {
        // A new play start since the last tick in Playing: count from it.
        baseFrames = 0.0;
        baseSeconds = 0.0;
    } else if (frames < previousFrames) {
        // The estimate never runs backwards within one play; hold it.
        s_frameEstimate = previousFrames;
        baseFrames = previousFrames;
        baseSeconds = previousSeconds;
    } else if (previousFrames == 0.0) {
        baseFrames = 0.0;
        baseSeconds = 0.0;
    } else {
        baseFrames = previousFrames;
        baseSeconds = previousSeconds;
    }

    const double seconds = t - baseSeconds;
    // Two ticks with the same play time, or a tick in the millisecond of the play
    // start, give no interval to measure over.
    if (seconds == 0.0)
        return 0.0;
    return (s_frameEstimate - baseFrames) / seconds;
}

} // namespace zephyrscope

#include "JsonLog.h"

#include "LogSink.h"
#include "PlayState.h"
#include "Player.h"
#include "Protocol.h"

namespace zephyrscope {

namespace {

constexpr std::int64_t kMsPerSecond = 1000;

} // namespace

JsonLog::JsonLog(Clock& clock, Player& player, LogSink& log)
    : m_clock(clock)
    , m_player(player)
    , m_log(log)
{
}

std::int64_t JsonLog::nowMs()
{
    const WallClockTime t = m_clock.wallClock();
    return t.seconds * kMsPerSecond + t.milliseconds;
}

void JsonLog::write(const JsonLogEvent& event)
{
    FormatJsonEvent(event, m_line);
    m_log.append(m_line);
}

void JsonLog::tick(const SampleLine& sample)
{
    const NetworkFigures figures = m_player.network()->figures();
    noteFirstFrame(figures);
    endStall(figures, false, 0);
    // The declared bandwidth of an adaptive stream is that of the variant playing now.
    if (m_entryActive && isAdaptiveColumn(figures.sourceProtocol) && figures.bandWidth > 0) {
        if (m_variantBandwidth > 0 && figures.bandWidth != m_variantBandwidth) {
            JsonLogEvent e;
            e.kind = JsonLogEventKind::VariantSwitched;
            e.wallMs = sample.utcTime.seconds * kMsPerSecond + sample.utcTime.milliseconds;
            e.fromBandwidth = m_variantBandwidth;
            e.toBandwidth = figures.bandWidth;
            e.width = figures.videoWidth;
            e.height = figures.videoHeight;
            write(e);
        }
        m_variantBandwidth = figures.bandWidth;
    }
    FormatJsonTick(sample, figures, m_line);
    m_log.append(m_line);
}

void JsonLog::noteFirstFrame(const NetworkFigures& figures)
{
    if (!m_entryActive || m_firstFrameWritten || figures.firstFrameWallMs <= 0)
        return;
    // A frame from before this entry began belongs to the one before it.
    if (figures.firstFrameWallMs < m_entryStartMs)
        return;
    m_firstFrameWritten = true;
    JsonLogEvent e;
    e.kind = JsonLogEventKind::FirstFrame;
    e.wallMs = figures.firstFrameWallMs;
    e.startupMs = figures.firstFrameWallMs - m_entryStartMs;
    write(e);
}

void JsonLog::playStateChanged(std::int32_t state)
{
    const std::int64_t now = nowMs();
    switch (state) {
    case kPlayStateTransitioning:
        if (m_entryActive)
            endEntry("played", now);
        m_entryActive = true;
        m_entryUrl.clear();
        m_entryStartMs = now;
        m_firstFrameWritten = false;
        m_played = false;
        m_stalled = false;
        m_stallEndPending = false;
        m_stalls = 0;
        m_variantBandwidth = 0;
        break;
    case kPlayStateBuffering: {
        if (!m_entryActive)
            break;
        const NetworkFigures figures = m_player.network()->figures();
        // The first frame may be shown before the state says Playing.
        noteFirstFrame(figures);
        if (m_played && !m_stalled) {
            // A picture that never moved after the last stall: that one ends where the state said.
            endStall(figures, true, m_stallOverMs);
            m_stalled = true;
            m_stallStartMs = now;
            ++m_stalls;
            m_stallSinceMs = stallTimed(figures) ? figures.stallSinceWallMs : now;
            JsonLogEvent e;
            e.kind = JsonLogEventKind::StallStarted;
            e.wallMs = now;
            e.stallCount = m_stalls;
            e.sinceMs = m_stallSinceMs;
            write(e);
        }
        break;
    }
    case kPlayStatePlaying: {
        if (!m_entryActive)
            break;
        m_played = true;
        const NetworkFigures figures = m_player.network()->figures();
        if (m_stalled) {
            m_stalled = false;
            m_stallEndPending = true;
            m_stallOverMs = now;
        }
        endStall(figures, false, 0);
        noteFirstFrame(figures);
        break;
    }
    case kPlayStateMediaEnded:
        if (m_entryActive)
            endEntry("played", now);
        break;
    case kPlayStateStopped:
        if (m_entryActive)
            endEntry("stopped", now);
        break;
    default:
        break;
    }
}

bool JsonLog::stallTimed(const NetworkFigures& figures) const
{
    return figures.stallsTimed == m_stalls && figures.stallSinceWallMs > 0;
}

void JsonLog::endStall(const NetworkFigures& figures, bool forced, std::int64_t endMs)
{
    if (!m_stallEndPending && !(forced && m_stalled))
        return;
    JsonLogEvent e;
    e.kind = JsonLogEventKind::StallEnded;
    e.sinceMs = m_stallSinceMs;
    if (m_stallEndPending && stallTimed(figures) && figures.stallResumedWallMs > 0) {
        e.wallMs = m_stallOverMs;
        e.resumedMs = figures.stallResumedWallMs;
        e.stallMs = *e.resumedMs - m_stallSinceMs;
    } else if (m_stallEndPending && figures.stallsTimed < m_stalls) {
        // A player that does not time stalls from frames: the stall is the play state's.
        e.wallMs = m_stallOverMs;
        e.resumedMs = m_stallOverMs;
        e.stallMs = m_stallOverMs - m_stallSinceMs;
    } else if (forced) {
        // The picture never moved again: the stall lasted to endMs.
        e.wallMs = endMs;
        e.stallMs = endMs - m_stallSinceMs;
    } else {
        return; // its first new frame is still to come
    }
    m_stalled = false;
    m_stallEndPending = false;
    write(e);
}

void JsonLog::endEntry(const char* how, std::int64_t wallMs)
{
    if (m_stalled || m_stallEndPending)
        endStall(m_player.network()->figures(), true, wallMs);
    m_entryActive = false;
    JsonLogEvent e;
    e.kind = JsonLogEventKind::Ended;
    e.wallMs = wallMs;
    e.url = m_entryUrl;
    e.how = how;
    write(e);
}

void JsonLog::mediaOpened()
{
    auto media = m_player.currentMedia();
    JsonLogEvent e;
    e.kind = JsonLogEventKind::Opened;
    e.wallMs = nowMs();
    e.url = media->sourceURL();
    e.name = media->name();
    const double duration = media->duration();
    if (duration > 0.0)
        e.durationS = duration;
    e.durationString = media->durationString();
    e.width = media->imageSourceWidth();
    e.height = media->imageSourceHeight();
    m_entryUrl = e.url;
    write(e);
}

void JsonLog::mediaError(const std::string& url, const std::string& reason)
{
    const std::int64_t now = nowMs();
    JsonLogEvent e;
    e.kind = JsonLogEventKind::Error;
    e.wallMs = now;
    e.url = url;
    e.reason = reason;
    write(e);
    if (m_entryActive) {
        if (m_entryUrl.empty())
            m_entryUrl = url;
        endEntry("failed", now);
    }
}

void JsonLog::runEnded()
{
    if (m_entryActive)
        endEntry("stopped", nowMs());
}

} // namespace zephyrscope

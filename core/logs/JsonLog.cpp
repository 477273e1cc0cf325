#include "JsonLog.h"

#include "LogSink.h"
#include "PlayState.h"
#include "Player.h"
#include "Protocol.h"

#include <algorithm>

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

const NetworkFigures& JsonLog::playerNow()
{
    m_player.snapshot(m_eventFigures);
    return m_eventFigures;
}

void JsonLog::write(const JsonLogEvent& event)
{
    FormatJsonEvent(event, m_line, m_channel);
    m_log.append(m_line);
}

void JsonLog::tick(const SampleLine& sample)
{
    const NetworkFigures& figures = sample.network;
    noteFirstFrame(figures);
    followStalls(figures, nowMs());
    followContent(figures);
    // The declared bandwidth of an adaptive stream is that of the variant playing now.
    if (m_entryActive && isAdaptive(figures.protocol) && figures.bandWidth > 0) {
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
    FormatJsonTick(sample, m_line, m_channel);
    m_log.append(m_line);
}

void JsonLog::noteFirstFrame(const NetworkFigures& figures)
{
    if (!m_entryActive || m_firstFrameWritten || figures.firstFrameWallMs <= 0 || figures.startupMs <= 0)
        return;
    // A frame from before this entry began belongs to the one before it.
    if (figures.firstFrameWallMs < m_entryStartMs)
        return;
    m_firstFrameWritten = true;
    JsonLogEvent e;
    e.kind = JsonLogEventKind::FirstFrame;
    e.wallMs = figures.firstFrameWallMs;
    // The player's start-up, from the open requested on the monotonic clock: the
    // metrics endpoint's, not a difference of wall-clock times taken elsewhere.
    e.startupMs = figures.startupMs;
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
        m_stallsWritten = 0;
        m_stallOpen = false;
        m_variantBandwidth = 0;
        m_contentStarted = 0;
        m_contentEnded.clear();
        break;
    case kPlayStateBuffering:
    case kPlayStatePlaying: {
        if (!m_entryActive)
            break;
        const NetworkFigures& figures = playerNow();
        // The first frame may be shown before the state says Playing.
        noteFirstFrame(figures);
        followStalls(figures, now);
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

void JsonLog::followStalls(const NetworkFigures& figures, std::int64_t nowMs)
{
    if (!m_entryActive)
        return;
    if (figures.stallsTimed > m_stallsWritten) {
        // The open stall's picture never moved before the next began: it stood
        // still until the next one's, which takes the standstill on from there.
        if (m_stallOpen)
            endStall(std::nullopt, std::max(figures.stallSinceWallMs, m_stallSinceMs));
        m_stallsWritten = figures.stallsTimed;
        m_stallOpen = true;
        m_stallSinceMs = figures.stallSinceWallMs > 0 ? figures.stallSinceWallMs : nowMs;
        JsonLogEvent e;
        e.kind = JsonLogEventKind::StallStarted;
        e.wallMs = nowMs;
        e.stallCount = m_stallsWritten;
        e.sinceMs = m_stallSinceMs;
        write(e);
    }
    if (m_stallOpen && figures.stallsTimed == m_stallsWritten && figures.stallResumedWallMs > 0)
        endStall(figures.stallResumedWallMs, figures.stallResumedWallMs);
}

void JsonLog::endStall(std::optional<std::int64_t> resumedMs, std::int64_t endMs)
{
    JsonLogEvent e;
    e.kind = JsonLogEventKind::StallEnded;
    e.wallMs = endMs;
    e.sinceMs = m_stallSinceMs;
    e.resumedMs = resumedMs;
    e.stallMs = endMs - m_stallSinceMs;
    m_stallOpen = false;
    write(e);
}

void JsonLog::followContent(const NetworkFigures& figures, bool entryEnds)
{
    if (!m_entryActive)
        return;
    const auto kinds = [](ContentKind kind) {
        switch (kind) {
        case ContentKind::Black:
            return std::pair {JsonLogEventKind::BlackStarted, JsonLogEventKind::BlackEnded};
        case ContentKind::Freeze:
            return std::pair {JsonLogEventKind::FreezeStarted, JsonLogEventKind::FreezeEnded};
        case ContentKind::Silence:
            break;
        }
        return std::pair {JsonLogEventKind::SilenceStarted, JsonLogEventKind::SilenceEnded};
    };
    const auto& stretches = figures.contentStretches;
    for (std::size_t i = 0; i < stretches.size(); ++i) {
        const ContentStretch& s = stretches[i];
        const auto [started, ended] = kinds(s.kind);
        if (i >= m_contentStarted) {
            JsonLogEvent e;
            e.kind = started;
            e.wallMs = s.startWallMs;
            e.durationMs = s.foundAfterMs;
            write(e);
            m_contentStarted = i + 1;
            m_contentEnded.push_back(false);
        }
        // A stretch the entry's end cut short ends where its last frame or block reached.
        if (m_contentEnded[i] || (!s.endWallMs && !entryEnds))
            continue;
        const std::int64_t lengthMs = (s.endMediaUs - s.startMediaUs) / 1000;
        JsonLogEvent e;
        e.kind = ended;
        e.wallMs = s.endWallMs ? *s.endWallMs : s.startWallMs + lengthMs;
        e.durationMs = e.wallMs - s.startWallMs;
        e.sinceMs = s.startWallMs;
        write(e);
        m_contentEnded[i] = true;
    }
}

void JsonLog::endEntry(const char* how, std::int64_t wallMs)
{
    followContent(playerNow(), true);
    if (m_stallOpen) {
        // The player may have seen the picture move since the last look.
        followStalls(m_eventFigures, wallMs);
        if (m_stallOpen)
            endStall(std::nullopt, wallMs);
    }
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

void JsonLog::outageStarted(const Outage& outage)
{
    JsonLogEvent e;
    e.kind = JsonLogEventKind::OutageStarted;
    e.wallMs = outage.startedWallMs;
    e.reason = outage.reason;
    write(e);
}

void JsonLog::outageEnded(const Outage& outage, bool resumed)
{
    JsonLogEvent e;
    e.kind = JsonLogEventKind::OutageEnded;
    e.wallMs = nowMs();
    e.reason = outage.reason;
    e.outageMs = outage.durationMs;
    e.sinceMs = outage.startedWallMs;
    e.resumed = resumed;
    write(e);
}

void JsonLog::runEnded()
{
    if (m_entryActive)
        endEntry("stopped", nowMs());
}

} // namespace zephyrscope

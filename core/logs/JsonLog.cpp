#include "JsonLog.h"

#include "LogSink.h"
#include "PlayState.h"
#include "Player.h"
#include "Protocol.h"

#include <algorithm>

// Each event names only the fields it fills; the others keep their defaults,
// which GCC's -Wextra would report for every event.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

namespace zephyrscope {

namespace {

// A content stretch's start and end events, by ContentKind.
constexpr std::pair<JsonLogEventKind, JsonLogEventKind> kContentEvents[] = {
    {JsonLogEventKind::BlackStarted, JsonLogEventKind::BlackEnded},
    {JsonLogEventKind::FreezeStarted, JsonLogEventKind::FreezeEnded},
    {JsonLogEventKind::SilenceStarted, JsonLogEventKind::SilenceEnded},
    {JsonLogEventKind::DamageStarted, JsonLogEventKind::DamageEnded},
};

} // namespace

JsonLog::JsonLog(Clock& clock, Player& player, LogSink& log)
    : m_clock(clock)
    , m_player(player)
    , m_log(log)
{
}

std::int64_t JsonLog::nowMs()
{
    return WallClockMs(m_clock.wallClock());
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
    followSplices(figures);
    // The declared bandwidth of an adaptive stream is that of the variant playing now.
    if (m_entry.active && isAdaptive(figures.protocol) && figures.bandWidth > 0) {
        if (m_entry.variantBandwidth > 0 && figures.bandWidth != m_entry.variantBandwidth)
            write({.kind = JsonLogEventKind::VariantSwitched,
                   .wallMs = WallClockMs(sample.utcTime),
                   .width = figures.videoWidth,
                   .height = figures.videoHeight,
                   .fromBandwidth = m_entry.variantBandwidth,
                   .toBandwidth = figures.bandWidth});
        m_entry.variantBandwidth = figures.bandWidth;
    }
    FormatJsonTick(sample, m_line, m_channel);
    m_log.append(m_line);
}

void JsonLog::noteFirstFrame(const NetworkFigures& figures)
{
    if (!m_entry.active || m_entry.firstFrameWritten || figures.firstFrameWallMs <= 0 || figures.startupMs <= 0)
        return;
    // A frame from before this entry began belongs to the one before it.
    if (figures.firstFrameWallMs < m_entry.startMs)
        return;
    m_entry.firstFrameWritten = true;
    // The player's start-up, from the open requested on the monotonic clock: the
    // metrics endpoint's, not a difference of wall-clock times taken elsewhere.
    write({.kind = JsonLogEventKind::FirstFrame, .wallMs = figures.firstFrameWallMs, .startupMs = figures.startupMs});
}

void JsonLog::playStateChanged(std::int32_t state)
{
    const std::int64_t now = nowMs();
    switch (state) {
    case kPlayStateTransitioning:
        if (m_entry.active)
            endEntry("played", now);
        m_entry = {.active = true, .startMs = now};
        m_contentEnded.clear();
        break;
    case kPlayStateBuffering:
    case kPlayStatePlaying: {
        if (!m_entry.active)
            break;
        const NetworkFigures& figures = playerNow();
        // The first frame may be shown before the state says Playing.
        noteFirstFrame(figures);
        followStalls(figures, now);
        break;
    }
    case kPlayStateMediaEnded:
        if (m_entry.active)
            endEntry("played", now);
        break;
    case kPlayStateStopped:
        if (m_entry.active)
            endEntry("stopped", now);
        break;
    default:
        break;
    }
}

void JsonLog::followStalls(const NetworkFigures& figures, std::int64_t nowMs)
{
    if (!m_entry.active)
        return;
    if (figures.stallsTimed > m_entry.stallsWritten) {
        // The open stall's picture never moved before the next began: it stood
        // still until the next one's, which takes the standstill on from there.
        if (m_entry.stallOpen)
            endStall(std::nullopt, std::max(figures.stallSinceWallMs, m_entry.stallSinceMs));
        m_entry.stallsWritten = figures.stallsTimed;
        m_entry.stallOpen = true;
        m_entry.stallSinceMs = figures.stallSinceWallMs > 0 ? figures.stallSinceWallMs : nowMs;
        write({.kind = JsonLogEventKind::StallStarted,
               .wallMs = nowMs,
               .sinceMs = m_entry.stallSinceMs,
               .stallCount = m_entry.stallsWritten});
    }
    if (m_entry.stallOpen && figures.stallsTimed == m_entry.stallsWritten && figures.stallResumedWallMs > 0)
        endStall(figures.stallResumedWallMs, figures.stallResumedWallMs);
}

void JsonLog::endStall(std::optional<std::int64_t> resumedMs, std::int64_t endMs)
{
    m_entry.stallOpen = false;
    write({.kind = JsonLogEventKind::StallEnded,
           .wallMs = endMs,
           .stallMs = endMs - m_entry.stallSinceMs,
           .sinceMs = m_entry.stallSinceMs,
           .resumedMs = resumedMs});
}

void JsonLog::followContent(const NetworkFigures& figures, bool entryEnds)
{
    if (!m_entry.active)
        return;
    const auto& stretches = figures.contentStretches;
    for (std::size_t i = 0; i < stretches.size(); ++i) {
        const ContentStretch& s = stretches[i];
        const auto [started, ended] = kContentEvents[static_cast<std::size_t>(s.kind)];
        if (i >= m_entry.contentStarted) {
            write({.kind = started, .wallMs = s.startWallMs, .durationMs = s.foundAfterMs});
            m_entry.contentStarted = i + 1;
            m_contentEnded.push_back(false);
        }
        // A stretch the entry's end cut short ends where its last frame or block reached.
        if (m_contentEnded[i] || (!s.endWallMs && !entryEnds))
            continue;
        const std::int64_t endMs =
            s.endWallMs ? *s.endWallMs : s.startWallMs + (s.endMediaUs - s.startMediaUs) / 1000;
        write({.kind = ended, .wallMs = endMs, .sinceMs = s.startWallMs, .durationMs = endMs - s.startWallMs});
        m_contentEnded[i] = true;
    }
}

void JsonLog::followSplices(const NetworkFigures& figures)
{
    if (!m_entry.active)
        return;
    const auto& commands = figures.splices.commands;
    for (; m_entry.splicesWritten < commands.size(); ++m_entry.splicesWritten) {
        const SpliceCommand& c = commands[m_entry.splicesWritten];
        // Dated when it was heard: the splice point itself is a field of its own.
        const std::int64_t heardMs = c.spliceWallMs && c.prerollMs ? *c.spliceWallMs - *c.prerollMs : nowMs();
        write({.kind = JsonLogEventKind::Splice, .wallMs = heardMs, .durationMs = c.durationMs, .splice = c});
    }
}

void JsonLog::endEntry(const char* how, std::int64_t wallMs)
{
    followContent(playerNow(), true);
    followSplices(m_eventFigures);
    if (m_entry.stallOpen) {
        // The player may have seen the picture move since the last look.
        followStalls(m_eventFigures, wallMs);
        if (m_entry.stallOpen)
            endStall(std::nullopt, wallMs);
    }
    m_entry.active = false;
    write({.kind = JsonLogEventKind::Ended, .wallMs = wallMs, .url = m_entry.url, .how = how});
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
    m_entry.url = e.url;
    write(e);
}

void JsonLog::mediaError(const std::string& url, const std::string& reason)
{
    const std::int64_t now = nowMs();
    write({.kind = JsonLogEventKind::Error, .wallMs = now, .url = url, .reason = reason});
    if (m_entry.active) {
        if (m_entry.url.empty())
            m_entry.url = url;
        endEntry("failed", now);
    }
}

void JsonLog::outageStarted(const Outage& outage)
{
    write({.kind = JsonLogEventKind::OutageStarted, .wallMs = outage.startedWallMs, .reason = outage.reason});
}

void JsonLog::outageEnded(const Outage& outage, bool resumed)
{
    write({.kind = JsonLogEventKind::OutageEnded,
           .wallMs = nowMs(),
           .sinceMs = outage.startedWallMs,
           .reason = outage.reason,
           .outageMs = outage.durationMs,
           .resumed = resumed});
}

void JsonLog::runEnded()
{
    if (m_entry.active)
        endEntry("stopped", nowMs());
}

} // namespace zephyrscope

#include "PlaybackEvents.h"

#include "Clock.h"
#include "ExitStatus.h"
#include "LogSink.h"
#include "MediaBlock.h"
#include "PlayState.h"
#include "PlaybackHost.h"
#include "PlaybackValues.h"
#include "Protocol.h"

#include <cstdio>
#include <string_view>

namespace zephyrscope {

namespace {

constexpr int kDialogOk = 1;

// A URL of a scheme that is not local names a server: losing it mid-play is a
// lost connection. A local path or file URL that fails part-way has just failed.
// core's table asks the scheme whatever its case (RFC 3986): FILE:///x is local too.
bool isNetworkUrl(const std::string& url)
{
    const auto colon = url.find("://");
    if (colon == std::string::npos || colon == 0)
        return false;
    return !isLocalScheme(std::string_view(url).substr(0, colon));
}

} // namespace

PlaybackEvents::PlaybackEvents(Clock& clock, Player& player, LogSink& log, PlaybackHost& host, PlaybackValues& values)
    : m_clock(clock)
    , m_player(player)
    , m_log(log)
    , m_host(host)
    , m_values(values)
{
}

void PlaybackEvents::OnPlayStateChange(std::int32_t newState)
{
    // Play time counts Playing only: a stall before the loss is not play.
    if (m_state == kPlayStatePlaying && newState != kPlayStatePlaying)
        m_entryPlayedMs += ClockDifference(m_clock.processClock(), m_values.m_playStartClock);
    m_state = newState;
    switch (newState) {
    case kPlayStatePlaying:
        m_values.m_playStartClock = m_clock.processClock();
        break;
    case kPlayStateTransitioning:
        // The player opens an entry: the next one, or the same one again.
        m_entryPlayed = false;
        m_entryPlayedMs = 0;
        break;
    case kPlayStateMediaEnded:
        m_values.m_restartClock = 1;
        if (m_values.m_clipEnded == 0)
            m_values.m_clipEnded = 1;
        break;
    case kPlayStateReady:
        // One countdown at a time: a Ready reported while it runs changes nothing.
        if (m_countdownOpen || m_monitor)
            break;
        if (m_values.m_clipEnded == 1 || (m_failedSinceCountdown && m_countdownAfterFailure))
            // After a failure too: without this an unattended run whose last entry
            // failed would wait for ever.
            offerShutdown();
        break;
    default:
        break;
    }
    // A clip too short to be seen in Playing has still played.
    if ((newState == kPlayStatePlaying || newState == kPlayStateMediaEnded) && !m_entryPlayed) {
        m_entryPlayed = true;
        ++m_tally.entriesPlayed;
    }
}

void PlaybackEvents::offerShutdown()
{
    m_failedSinceCountdown = false;
    m_host.stopSampleTimer();
    m_countdownOpen = true;
    int result = 0;
    try {
        result = m_host.runAutoShutdown();
    } catch (...) {
        m_countdownOpen = false;
        throw;
    }
    m_countdownOpen = false;
    // Decided when the countdown ends, with all the run has done by then.
    if (result == kDialogOk)
        m_host.quit(RunEndStatus(m_tally));
}

void PlaybackEvents::OnOpenStateChange(std::int32_t newState)
{
    if (newState != kOpenStateMediaOpen)
        return;
    m_log.append(FormatMediaBlock(ReadMediaBlock(m_player)));
}

std::string PlaybackEvents::OnMediaError(const std::string& url, const std::string& reason)
{
    m_failedSinceCountdown = true;
    ++m_tally.entriesFailed;
    if (!m_entryPlayed)
        return reason;
    std::int64_t playedMs = m_entryPlayedMs;
    if (m_state == kPlayStatePlaying)
        playedMs += ClockDifference(m_clock.processClock(), m_values.m_playStartClock);
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "%.1f", static_cast<double>(playedMs) / 1000.0);
    return std::string(isNetworkUrl(url) ? "connection lost" : "failed") + " after " + seconds + " s of play: "
        + reason;
}

} // namespace zephyrscope

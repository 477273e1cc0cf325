#include "PlaybackEvents.h"

#include "Clock.h"
#include "ExitStatus.h"
#include "LogSink.h"
#include "MediaBlock.h"
#include "PlayState.h"
#include "PlaybackHost.h"
#include "PlaybackValues.h"

namespace zephyrscope {

namespace {

constexpr int kDialogOk = 1;

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
    switch (newState) {
    case kPlayStatePlaying:
        m_values.m_playStartClock = m_clock.processClock();
        break;
    case kPlayStateMediaEnded:
        m_values.m_restartClock = 1;
        if (m_values.m_clipEnded == 0)
            m_values.m_clipEnded = 1;
        break;
    case kPlayStateReady:
        // One countdown at a time: a Ready reported while it runs changes nothing.
        if (m_countdownOpen)
            break;
        if (m_values.m_clipEnded == 1)
            offerShutdown(kExitNormal);
        else if (m_failedSinceCountdown)
            // Nothing has played to its end and the player has given up: without
            // this an unattended run would wait for ever.
            offerShutdown(kExitPlaybackFailure);
        break;
    default:
        break;
    }
}

void PlaybackEvents::offerShutdown(int exitStatus)
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
    if (result == kDialogOk)
        m_host.quit(exitStatus);
}

void PlaybackEvents::OnOpenStateChange(std::int32_t newState)
{
    if (newState != kOpenStateMediaOpen)
        return;
    m_log.append(FormatMediaBlock(ReadMediaBlock(m_player)));
}

void PlaybackEvents::OnMediaError(const std::string& /*url*/, const std::string& /*reason*/)
{
    m_failedSinceCountdown = true;
}

} // namespace zephyrscope

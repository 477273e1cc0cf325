#include "MeasurementRun.h"

#include "ExitStatus.h"
#include "LogError.h"
#include "MetricsFigures.h"
#include "PlayState.h"
#include "PlaybackEvents.h"
#include "Player.h"
#include "PlayerError.h"
#include "RedactedUrl.h"
#include "RunHost.h"
#include "RunTimer.h"
#include "Sampler.h"

#include <exception>
#include <iostream>

namespace zephyrscope {

MeasurementRun::MeasurementRun(Clock& clock, TextDisplay& fpsBox, RunTimer& sampleTimer, RunTimer& reconnectTimer,
                               RunHost& host)
    : m_clock(clock)
    , m_fpsBox(fpsBox)
    , m_sampleTimer(sampleTimer)
    , m_reconnectTimer(reconnectTimer)
    , m_host(host)
    , m_backoff(clock)
    , m_outages(clock)
{
}

MeasurementRun::~MeasurementRun() = default;

void MeasurementRun::usePlayer(Player& player)
{
    m_player = &player;
    m_sampler = std::make_unique<Sampler>(m_clock, player, m_logs.log(), m_fpsBox, m_values);
    PlaybackHost& host = *this;
    m_events = std::make_unique<PlaybackEvents>(m_clock, player, m_logs.log(), host, m_values);
}

void MeasurementRun::endWithoutPlayer(const std::string& reason)
{
    m_host.showMessage(reason);
    m_exitStatus = kExitNoPlayer;
    m_ended = true;
    m_host.endRun();
}

void MeasurementRun::begin()
{
    m_values.m_clipEnded = 0;
    m_values.m_restartClock = 0;
    m_values.m_playStartClock = m_clock.processClock();
}

void MeasurementRun::openLogs()
{
    try {
        m_logs.open(m_clock, *m_player);
    } catch (const LogError& e) {
        // Without its log the run measures nothing: say why and end at once.
        m_host.showMessage(e.what());
        quit(kExitLogFailure);
    }
}

void MeasurementRun::start(const std::optional<std::string>& url, bool startSampling)
{
    m_events->setCountdownAfterFailure(url.has_value());
    if (m_monitor && url) {
        m_monitorUrl = *url;
        m_events->setMonitor(true);
        if (m_metrics)
            m_metrics->monitor = true;
    }
    if (url) {
        try {
            m_player->putURL(*url);
        } catch (const PlayerError& e) {
            reportPlayerError(e.what());
        }
    }
    if (startSampling)
        startSampleTimer();
}

void MeasurementRun::startSampleTimer()
{
    m_logFailureReported = false;
    m_sampleTimer.start(kSamplePeriodMs);
}

void MeasurementRun::stopSampleTimer()
{
    m_sampleTimer.stop();
}

int MeasurementRun::runAutoShutdown()
{
    return m_host.runAutoShutdown();
}

void MeasurementRun::play()
{
    startSampleTimer();
    guard([this] { m_player->controls()->play(); });
}

void MeasurementRun::stop()
{
    stopSampleTimer();
    guard([this] { m_player->controls()->stop(); });
}

void MeasurementRun::open(const std::string& url)
{
    guard([&] {
        m_player->putURL(url);
        startSampleTimer();
    });
}

void MeasurementRun::quit(int exitStatus)
{
    if (m_ended)
        return;
    m_quitting = true;
    m_reconnectTimer.stop();
    m_exitStatus = exitStatus;
    if (m_player)
        stopPlayer();
    if (m_metrics)
        m_metrics->outcomes.runEnded();
    stopSampleTimer();
    endOpenOutage();
    guard([this] { m_logs.close(); });
    m_ended = true;
    m_host.endRun();
}

void MeasurementRun::stopPlayer()
{
    // A player that cannot stop must not keep the log open: report and go on quitting.
    try {
        m_player->controls()->stop();
    } catch (const std::exception& e) {
        reportPlayerError(e.what());
    }
}

void MeasurementRun::tick()
{
    if (!m_sampler)
        return;
    // A monitored channel in an outage has nothing playing to sample: its log
    // goes on with the next entry's media block, as a playlist's next entry would.
    if (monitoring() && m_outages.inOutage()) {
        if (m_metrics)
            m_metrics->recordOutages(m_outages);
        return;
    }
    guard([this] {
        m_sampler->OnTimer();
        if (JsonLog* json = m_logs.json())
            json->tick(m_sampler->lastSample());
        m_lastPlayerError.clear();
        if (m_metrics) {
            m_metrics->recordSample(m_sampler->lastSample());
            m_metrics->recordOutages(m_outages);
        }
    });
}

void MeasurementRun::OnPlayStateChange(std::int32_t newState)
{
    guard([&] { if (JsonLog* json = m_logs.json()) json->playStateChanged(newState); });
    guard([&] { m_events->OnPlayStateChange(newState); });
    followChannel(newState);
    if (m_metrics) {
        m_metrics->outcomes.playStateChanged(newState, firstFrameWallMs());
        m_metrics->recordOutages(m_outages);
    }
}

void MeasurementRun::followChannel(std::int32_t newState)
{
    if (m_quitting)
        return;
    switch (newState) {
    case kPlayStatePlaying:
        m_backoff.playing();
        if (const auto outage = m_outages.playing(); outage && monitoring()) {
            std::cerr << "Playing '" << RedactedText(m_monitorUrl) << "' again after an outage of "
                      << outage->durationMs / 1000.0 << " s" << std::endl;
            guard([&] { if (JsonLog* json = m_logs.json()) json->outageEnded(*outage, true); });
        }
        break;
    case kPlayStateMediaEnded:
        if (m_downReason.empty())
            m_downReason = "ended";
        break;
    case kPlayStateReady: {
        // The player has nothing more to play: the channel is down until an entry plays again.
        if (m_reconnectTimer.isActive())
            break;
        channelDown(m_downReason.empty() ? std::string("ended") : m_downReason);
        m_downReason.clear();
        if (!monitoring())
            break;
        const std::int32_t delayMs = m_backoff.nextDelayMs();
        std::cerr << "Opening '" << RedactedText(m_monitorUrl) << "' again in " << delayMs / 1000.0 << " s"
                  << std::endl;
        m_reconnectTimer.start(delayMs);
        break;
    }
    default:
        break;
    }
}

void MeasurementRun::channelDown(const std::string& reason)
{
    const auto outage = m_outages.down(reason);
    if (outage && monitoring())
        guard([&] { if (JsonLog* json = m_logs.json()) json->outageStarted(*outage); });
}

void MeasurementRun::reconnect()
{
    // The wait expires once.
    m_reconnectTimer.stop();
    if (m_quitting || m_ended)
        return;
    try {
        m_player->putURL(m_monitorUrl);
    } catch (const PlayerError& e) {
        // Nothing was opened, so no Ready will come: wait again from here.
        reportPlayerError(e.what());
        m_downReason = e.what();
        followChannel(kPlayStateReady);
    }
}

void MeasurementRun::endOpenOutage()
{
    if (!monitoring())
        return;
    if (const auto outage = m_outages.openOutage())
        guard([&] { if (JsonLog* json = m_logs.json()) json->outageEnded(*outage, false); });
}

void MeasurementRun::reopenLogs()
{
    try {
        m_logs.reopen();
    } catch (const LogError& e) {
        // Rotation failed: the run goes on writing the files it had.
        std::cerr << e.what() << std::endl;
    }
}

void MeasurementRun::OnOpenStateChange(std::int32_t newState)
{
    guard([&] { m_events->OnOpenStateChange(newState); });
    if (newState != kOpenStateMediaOpen)
        return;
    guard([&] { if (JsonLog* json = m_logs.json()) json->mediaOpened(); });
    if (m_metrics)
        guard([this] { m_metrics->entryOpened(*m_player); });
}

void MeasurementRun::OnMediaError(const std::string& url, const std::string& reason)
{
    std::string told = reason;
    guard([&] { told = m_events->OnMediaError(url, reason); });
    guard([&] { if (JsonLog* json = m_logs.json()) json->mediaError(url, told); });
    if (m_downReason.empty())
        m_downReason = told;
    // A failed entry is down from now, not from when the player is idle.
    if (monitoring() && !m_quitting)
        channelDown(told);
    std::cerr << RedactedText("Cannot play '" + url + "': " + told) << std::endl;
    if (m_metrics)
        m_metrics->entryFailed(firstFrameWallMs());
}

template <typename Handler>
void MeasurementRun::guard(Handler&& handler)
{
    // Events and ticks arrive from the window's loop: nothing may be thrown back into it.
    try {
        handler();
    } catch (const LogError& e) {
        reportLogFailure(e);
    } catch (const std::exception& e) {
        reportPlayerError(e.what());
    }
}

void MeasurementRun::reportLogFailure(const LogError& error)
{
    // Keep playing and keep what was written, but stop writing until the user
    // starts sampling again; one message, not one per tick.
    stopSampleTimer();
    if (m_metrics)
        ++m_metrics->logWriteFailures;
    if (m_events)
        m_events->OnLogWriteFailed();
    if (m_logFailureReported)
        return;
    m_logFailureReported = true;
    m_host.showMessage(error.what());
}

void MeasurementRun::reportPlayerError(const std::string& message)
{
    if (message == m_lastPlayerError)
        return;
    m_lastPlayerError = message;
    std::cerr << RedactedText(message) << std::endl;
}

std::int64_t MeasurementRun::firstFrameWallMs()
{
    std::int64_t wallMs = 0;
    if (m_player)
        guard([&] {
            m_player->snapshot(m_eventFigures);
            wallMs = m_eventFigures.firstFrameWallMs;
        });
    return wallMs;
}

} // namespace zephyrscope

#pragma once

#include "Clock.h"
#include "OutageTracker.h"
#include "PlaybackHost.h"
#include "PlaybackValues.h"
#include "PlayerEventSink.h"
#include "ReconnectBackoff.h"
#include "RunLogs.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace zephyrscope {

class LogError;
struct MetricsFigures;
class PlaybackEvents;
class Player;
class RunHost;
class RunTimer;
class Sampler;
class TextDisplay;

// One run of the program: its player's samples into the logs and the metrics,
// what the player's events mean (PlaybackEvents: media blocks, the countdown,
// the exit status), and under --monitor the channel's outages and reconnects.
// The window shows it and hands it the user's commands and the player's events;
// its two timers and what it asks of the window come through RunTimer and
// RunHost, so it runs without one.
//
// No failure ends the run by itself: a player error is said on stderr (once
// while it repeats), a log that cannot be written stops sampling and is shown
// once (and the run, when it ends by itself, ends with status 4), logs that
// cannot be created end the run with status 2. Nothing it does throws.
// UI thread only.
class MeasurementRun final : public PlayerEventSink, private PlaybackHost {
public:
    static constexpr std::int32_t kSamplePeriodMs = 500;

    // Each expiry of sampleTimer is to call tick(), of reconnectTimer reconnect().
    // All must outlive the run.
    MeasurementRun(Clock& clock, TextDisplay& fpsBox, RunTimer& sampleTimer, RunTimer& reconnectTimer,
                   RunHost& host);
    ~MeasurementRun() override;
    MeasurementRun(const MeasurementRun&) = delete;
    MeasurementRun& operator=(const MeasurementRun&) = delete;

    // The statistics log's path; set before openLogs().
    void setLogFileName(std::string path) { m_logs.setFileName(std::move(path)); }
    // Where a JSON Lines log is written beside the log; empty (the default) for
    // none. It is created with the log, under the same rules.
    void setJsonLogName(std::string path) { m_logs.setJsonFileName(std::move(path)); }
    // --name: the channel's name on every JSON line. Set before openLogs().
    void setChannel(std::string channel) { m_logs.setChannel(std::move(channel)); }
    // --monitor: a run given its URL never ends by itself; an entry that ends or
    // fails is opened again after ReconnectBackoff's wait, and the gaps are
    // counted as outages (JSON Lines events, metrics). Set before start().
    void setMonitor(bool monitor) { m_monitor = monitor; }
    // Where each tick's values and the run's counters go for the metrics
    // endpoint; nullptr (the default) for none. Must outlive the run.
    void setMetricsFigures(MetricsFigures* figures) { m_metrics = figures; }

    // The player the run measures, once, before anything below; it must outlive the run.
    void usePlayer(Player& player);
    // The player could not be made: shows why and ends the run with status 1.
    void endWithoutPlayer(const std::string& reason);
    // The run's time starts: no clip has ended, play starts now.
    void begin();
    // Creates the logs; when they cannot be, shows why and quits with status 2.
    void openLogs();
    // After the logs: plays the URL given, if any, and starts sampling if asked.
    // A run given its URL is unattended: a failure offers the countdown too, and
    // under --monitor it never ends by itself.
    void start(const std::optional<std::string>& url, bool startSampling);

    // The user's commands. Play and Open start sampling again after a log failure.
    void play();
    void stop();
    void open(const std::string& url);
    // The quit path: stops the reconnect wait, the player and the sample timer,
    // ends an open outage, closes the logs and ends the window. Once only.
    void quit(int exitStatus) override;

    // The sample timer expired: one sample (the sampler's line, then the JSON
    // Lines log's, then the metrics), none while a monitored channel is down.
    void tick();
    // The reconnect wait expired: the monitored URL is opened again.
    void reconnect();
    // The logs were rotated (SIGHUP under --monitor): each is made afresh at its
    // path. A log that cannot be made is said on stderr, and the old one kept.
    void reopenLogs();

    // PlayerEventSink
    void OnPlayStateChange(std::int32_t newState) override;
    void OnOpenStateChange(std::int32_t newState) override;
    void OnMediaError(const std::string& url, const std::string& reason) override;

    // The exit status the run ended with; 0 until it ends otherwise.
    int exitStatus() const { return m_exitStatus; }
    bool monitoring() const { return !m_monitorUrl.empty(); }
    const RunLogs& logs() const { return m_logs; }
    const PlaybackValues& playbackValues() const { return m_values; }

private:
    // PlaybackHost
    void stopSampleTimer() override;
    int runAutoShutdown() override;

    void startSampleTimer();
    void stopPlayer();
    // Runs a handler that reads the player or writes a log, reporting what it throws.
    template <typename Handler>
    void guard(Handler&& handler);
    void reportLogFailure(const LogError& error);
    void reportPlayerError(const std::string& message);
    // The player's first frame time for the entries' outcomes; 0 when it cannot say.
    std::int64_t firstFrameWallMs();

    // What the channel's play state means for its outages (and, monitoring, its reconnects).
    void followChannel(std::int32_t newState);
    void channelDown(const std::string& reason);
    void endOpenOutage();

    Clock& m_clock;
    TextDisplay& m_fpsBox;
    RunTimer& m_sampleTimer;
    RunTimer& m_reconnectTimer;
    RunHost& m_host;
    Player* m_player = nullptr;

    RunLogs m_logs;
    PlaybackValues m_values;
    std::unique_ptr<Sampler> m_sampler;
    std::unique_ptr<PlaybackEvents> m_events;
    MetricsFigures* m_metrics = nullptr;

    bool m_monitor = false;
    std::string m_monitorUrl; // the URL a monitoring run opens again; empty: not monitoring
    ReconnectBackoff m_backoff;
    OutageTracker m_outages;
    // Why the channel's last entry ended or failed, for the outage that follows.
    std::string m_downReason;

    // The quit path has begun; the window is ended when it has run.
    bool m_quitting = false;
    bool m_ended = false;
    int m_exitStatus = 0;
    // A log failure was shown since sampling was last started by the user.
    bool m_logFailureReported = false;
    // The last player error printed, so a failing player does not print every tick.
    std::string m_lastPlayerError;
    // The player's figures as an event finds them, reused from event to event.
    NetworkFigures m_eventFigures;
};

} // namespace zephyrscope

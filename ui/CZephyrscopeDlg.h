#pragma once

#include "CDialog.h"
#include "CEdit.h"
#include "Clock.h"
#include "PlaybackHost.h"
#include "PlaybackValues.h"
#include "PlayerEventSink.h"
#include "PlayerFactory.h"
#include "RunLogs.h"

#include <QIcon>
#include <QTimer>

#include <cstdint>

#include <memory>
#include <string>
#include <vector>

namespace zephyrscope {
class LogError;
struct MetricsFigures;
class OutageTracker;
class PlaybackEvents;
class ReconnectBackoff;
class Sampler;
} // namespace zephyrscope

// The main dialog: hosts the player and the FPS box, owns the run's logs (RunLogs)
// and the playback values, runs the 500 ms sample timer that drives the sampler, takes
// the player's events and applies the command line.
//
// The quit path (Quit, Escape, Close, the countdown's OK, a termination signal)
// stops the player, stops the sample timer, closes the log and ends the dialog.
// No failure ends the program by itself: a player error is reported on stderr, a
// log that cannot be written stops sampling and is reported once (and the run, when
// it ends by itself, ends with status 4), a log that cannot be created ends the run
// with exit status 2. UI thread only.
class CZephyrscopeDlg final : public CDialog, public zephyrscope::PlaybackHost, public zephyrscope::PlayerEventSink {
    Q_OBJECT

public:
    static constexpr int kSamplePeriodMs = 500;
    static constexpr char kAboutBoxText[] = "&About Zephyrscope...";

    // arguments: the program's arguments, program name first (UTF-8).
    // createPlayer is called once, at initialisation. clock must outlive the dialog.
    CZephyrscopeDlg(PlayerFactory createPlayer, std::vector<std::string> arguments, zephyrscope::Clock& clock,
                    QWidget* parent = nullptr);
    ~CZephyrscopeDlg() override;

    // Nobody can use the dialog (Qt's offscreen platform): a run given no URL on the
    // command line ends with the usage status, and no log, instead of waiting for
    // Open. Set before DoModal().
    void setNobodyToOpen(bool nobodyToOpen) { m_nobodyToOpen = nobodyToOpen; }

    // Where each tick's values and the run's counters go for the metrics
    // endpoint; nullptr (the default) for none. Must outlive the dialog's run.
    void setMetricsFigures(zephyrscope::MetricsFigures* figures) { m_metrics = figures; }

    // Where a JSON Lines log is written beside the log; empty (the default) for
    // none. It is created with the log, under the same rules. Set before DoModal().
    void setJsonLogName(std::string path) { m_logs.setJsonFileName(std::move(path)); }

    // --monitor: a run given its URL never ends by itself; an entry that ends or
    // fails is opened again after ReconnectBackoff's wait, and the gaps are
    // counted as outages (JSON Lines events, metrics). Set before DoModal().
    void setMonitor(bool monitor) { m_monitor = monitor; }
    // --name: the channel's name on every JSON line. Set before DoModal().
    void setChannel(std::string channel) { m_logs.setChannel(std::move(channel)); }

    // The logs were rotated (SIGHUP under --monitor): each is made afresh at its
    // path. A log that cannot be made is said on stderr, and the old one kept.
    void reopenLogs();

    // The exit status the run ended with; 0 until it ends otherwise.
    int exitStatus() const { return m_exitStatus; }

    // One tick of the sample timer: one sample.
    void OnTimer(unsigned id) override;
    void OnSysCommand(unsigned commandId, long parameter) override;

    // zephyrscope::PlaybackHost
    void stopSampleTimer() override;
    int runAutoShutdown() override;
    void quit(int exitStatus) override;

    // zephyrscope::PlayerEventSink
    void OnPlayStateChange(std::int32_t newState) override;
    void OnOpenStateChange(std::int32_t newState) override;
    void OnMediaError(const std::string& url, const std::string& reason) override;

    // Where the minimised window draws its icon: centred, the odd pixel to the
    // right and below, in integer arithmetic truncating toward zero.
    static QPoint minimizedIconOrigin(QSize client, QSize icon);

    const zephyrscope::LogFile& logFile() const { return m_logs.log(); }
    const std::string& logFileName() const { return m_logs.fileName(); }
    const zephyrscope::PlaybackValues& playbackValues() const { return m_values; }
    QWidget* videoArea() const { return m_videoArea; }

protected:
    bool OnInitDialog() override;
    void OnCancel() override;
    void OnCommand(int id) override;
    void paintEvent(QPaintEvent* event) override;

private:
    void DoDataExchange();
    void MakeDefaultLogName();
    int ApplyCommandLine();
    void OpenLogFile();

    void OnOpen();
    void OnPlay();
    void OnStop();
    void OnAbout();

    void startSampleTimer();
    void stopPlayer();
    // Ends whatever modal window or menu is open above this dialog.
    void endNestedWindows();

    // Runs a handler that reads the player or writes the log, reporting what it throws.
    template <typename Handler>
    void guard(Handler&& handler);
    void reportLogFailure(const zephyrscope::LogError& error);
    void reportPlayerError(const std::string& message);
    void recordMetricsSample();
    void recordMetricsEntryOpened();
    void recordMetricsOutages();
    // The player's first frame time for the entries' outcomes; 0 when it cannot say.
    std::int64_t metricsFirstFrameWallMs();

    // --monitor: what the channel's play state means for its outages.
    void followChannel(std::int32_t newState);
    void channelDown(const std::string& reason);
    void reconnect();
    void endOpenOutage();

    zephyrscope::Clock& m_clock;
    PlayerFactory m_createPlayer;
    std::vector<std::string> m_arguments;
    QWidget* m_videoArea;

    CEdit m_fpsEdit;
    std::unique_ptr<zephyrscope::Player> m_player;
    QIcon m_hIcon;
    zephyrscope::RunLogs m_logs;
    zephyrscope::PlaybackValues m_values;
    std::unique_ptr<zephyrscope::Sampler> m_sampler;
    std::unique_ptr<zephyrscope::PlaybackEvents> m_events;
    zephyrscope::MetricsFigures* m_metrics = nullptr;

    bool m_monitor = false;
    std::string m_monitorUrl; // the URL a monitoring run opens again; empty: not monitoring
    std::unique_ptr<zephyrscope::ReconnectBackoff> m_backoff;
    std::unique_ptr<zephyrscope::OutageTracker> m_outages;
    QTimer m_reconnectTimer;
    // Why the channel's last entry ended or failed, for the outage that follows.
    std::string m_downReason;
    bool m_quitting = false;

    int m_exitStatus = 0;
    bool m_nobodyToOpen = false;
    // A log failure was shown since sampling was last started by the user.
    bool m_logFailureReported = false;
    // The last player error printed, so a failing player does not print every tick.
    std::string m_lastPlayerError;
};

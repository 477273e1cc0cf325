#pragma once

#include "CDialog.h"
#include "CEdit.h"
#include "Clock.h"
#include "DialogTimer.h"
#include "MeasurementRun.h"
#include "PlaybackValues.h"
#include "PlayerFactory.h"
#include "RunHost.h"

#include <QIcon>

#include <cstdint>

#include <memory>
#include <string>
#include <vector>

// The main dialog: hosts the player and the FPS box, and shows the run
// (MeasurementRun) it holds: hands it the user's commands (the player's events
// go to the run directly, on the UI thread), keeps its sample timer (ID_TIMER_SAMPLE) and its reconnect wait, shows
// its messages and countdown, and applies the command line.
//
// The quit path (Quit, Escape, Close, the countdown's OK, a termination signal)
// is the run's: it stops the player, stops the sample timer, closes the log and
// ends the dialog. How each failure ends the run, or does not, is the run's to
// say (MeasurementRun); a player that cannot be made is one too (exit status 1).
// UI thread only.
class CZephyrscopeDlg final : public CDialog, public zephyrscope::RunHost {
    Q_OBJECT

public:
    static constexpr int kSamplePeriodMs = zephyrscope::MeasurementRun::kSamplePeriodMs;
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

    // The run it shows: its settings are set before DoModal(), but for the metrics
    // figures, which may be set at any time; under --monitor SIGHUP reopens its logs.
    zephyrscope::MeasurementRun& run() { return m_run; }
    // Takes the run's quit path with exitStatus; does nothing once the dialog has ended.
    void quit(int exitStatus);

    // The exit status the run ended with; 0 until it ends otherwise.
    int exitStatus() const { return m_run.exitStatus(); }

    // A tick of the sample timer (one sample) or the end of the reconnect wait.
    void OnTimer(unsigned id) override;
    void OnSysCommand(unsigned commandId, long parameter) override;

    // zephyrscope::RunHost
    void showMessage(const std::string& text) override;
    int runAutoShutdown() override;
    void endRun() override;

    // Where the minimised window draws its icon: centred, the odd pixel to the
    // right and below, in integer arithmetic truncating toward zero.
    static QPoint minimizedIconOrigin(QSize client, QSize icon);

    const zephyrscope::LogFile& logFile() const { return m_run.logs().log(); }
    const std::string& logFileName() const { return m_run.logs().fileName(); }
    const zephyrscope::PlaybackValues& playbackValues() const { return m_run.playbackValues(); }
    QWidget* videoArea() const { return m_videoArea; }

protected:
    bool OnInitDialog() override;
    void OnCancel() override;
    void OnCommand(int id) override;
    void paintEvent(QPaintEvent* event) override;

private:
    void DoDataExchange();
    int ApplyCommandLine();

    void OnOpen();
    void OnAbout();

    // Ends whatever modal window or menu is open above this dialog.
    void endNestedWindows();

    PlayerFactory m_createPlayer;
    std::vector<std::string> m_arguments;
    QWidget* m_videoArea;

    CEdit m_fpsEdit;
    std::unique_ptr<zephyrscope::Player> m_player;
    QIcon m_hIcon;
    DialogTimer m_sampleTimer;
    DialogTimer m_reconnectTimer;
    // After the player and the timers: it uses them to its end.
    zephyrscope::MeasurementRun m_run;

    bool m_nobodyToOpen = false;
};

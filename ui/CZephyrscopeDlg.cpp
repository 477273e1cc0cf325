#include "CZephyrscopeDlg.h"

#include "AfxMessageBox.h"
#include "CAboutDlg.h"
#include "CAutoShutdownDlg.h"
#include "COpenMediaDlg.h"
#include "CommandLine.h"
#include "DefaultLogName.h"
#include "ExitStatus.h"
#include "LogError.h"
#include "MainFrameIcon.h"
#include "MetricsFigures.h"
#include "OutageTracker.h"
#include "PlayState.h"
#include "PlaybackEvents.h"
#include "PlayerError.h"
#include "ReconnectBackoff.h"
#include "RedactedUrl.h"
#include "Resource.h"
#include "Sampler.h"
#include "Version.h"

#include <QApplication>
#include <QLineEdit>
#include <QPaintEvent>
#include <QPainter>
#include <QThread>

#include <exception>
#include <iostream>

namespace {

// Bounds the unwinding of nested windows at quit, in case one refuses to close.
constexpr int kMaxNestedWindows = 16;

} // namespace

CZephyrscopeDlg::CZephyrscopeDlg(PlayerFactory createPlayer, std::vector<std::string> arguments,
                                 zephyrscope::Clock& clock, QWidget* parent)
    : CDialog(IDD_ZEPHYRSCOPE_DIALOG, QStringLiteral("Zephyrscope V" ZEPHYRSCOPE_VERSION), QSize(320, 200), parent)
    , m_clock(clock)
    , m_createPlayer(std::move(createPlayer))
    , m_arguments(std::move(arguments))
    , m_videoArea(new QWidget(this))
    , m_hIcon(MainFrameIcon())
{
    addButton(IDOK, QStringLiteral("Play"), QRect(263, 28, 50, 14));
    addButton(IDCANCEL, QStringLiteral("Quit"), QRect(263, 91, 50, 14));

    // The player draws its video into this window of its own.
    m_videoArea->setAttribute(Qt::WA_NativeWindow);
    m_videoArea->setAttribute(Qt::WA_DontCreateNativeAncestors);
    m_videoArea->setAutoFillBackground(true);
    QPalette black = m_videoArea->palette();
    black.setColor(QPalette::Window, Qt::black);
    m_videoArea->setPalette(black);
    addControl(IDC_PLAYER, m_videoArea, QRect(7, 7, 250, 186), true);

    addButton(IDC_OPEN, QStringLiteral("Open"), QRect(263, 7, 50, 14), true);
    addButton(IDC_STOP, QStringLiteral("Stop"), QRect(263, 49, 50, 14));
    auto* fps = new QLineEdit(this);
    fps->setReadOnly(true);
    addControl(IDC_FPS, fps, QRect(282, 177, 30, 14), true);
    addStatic(IDC_STATIC, QStringLiteral("FPS:"), QRect(261, 180, 16, 8));
    addButton(IDC_ABOUT, QStringLiteral("About"), QRect(263, 70, 50, 14));

    m_reconnectTimer.setSingleShot(true);
    // A coarse timer may fire up to 5 % early; the back-off is a floor.
    m_reconnectTimer.setTimerType(Qt::PreciseTimer);
    connect(&m_reconnectTimer, &QTimer::timeout, this, [this] { reconnect(); });
}

CZephyrscopeDlg::~CZephyrscopeDlg()
{
    if (m_player)
        m_player->setEventSink(nullptr);
}

void CZephyrscopeDlg::DoDataExchange()
{
    m_fpsEdit.Attach(qobject_cast<QLineEdit*>(GetDlgItem(IDC_FPS)));
    m_player = m_createPlayer(m_videoArea);
    if (!m_player)
        throw zephyrscope::PlayerError("Cannot create player: no player in this build");
    m_sampler = std::make_unique<zephyrscope::Sampler>(m_clock, *m_player, m_logs.log(), m_fpsEdit, m_values);
    m_events = std::make_unique<zephyrscope::PlaybackEvents>(m_clock, *m_player, m_logs.log(), *this, m_values);
    m_backoff = std::make_unique<zephyrscope::ReconnectBackoff>(m_clock);
    m_outages = std::make_unique<zephyrscope::OutageTracker>(m_clock);
    m_player->setEventSink(this);
}

bool CZephyrscopeDlg::OnInitDialog()
{
    CDialog::OnInitDialog();
    try {
        DoDataExchange();
    } catch (const std::exception& e) {
        AfxMessageBox(e.what());
        m_exitStatus = zephyrscope::kExitNoPlayer;
        EndDialog(IDCANCEL);
        return true;
    }

    const QString aboutText = QString::fromLatin1(kAboutBoxText);
    if (GetSystemMenu() && !aboutText.isEmpty()) {
        AppendSystemMenuSeparator();
        AppendSystemMenuItem(IDM_ABOUTBOX, aboutText);
    }

    setWindowIcon(m_hIcon);

    MakeDefaultLogName();
    m_values.m_clipEnded = 0;
    m_values.m_restartClock = 0;
    m_values.m_playStartClock = m_clock.processClock();

    // A termination signal taken while a message box was up has already quit.
    if (ApplyCommandLine() == -1 && !isEnded())
        AfxMessageBox(zephyrscope::kCommandLineIgnored);
    return true;
}

void CZephyrscopeDlg::MakeDefaultLogName()
{
    m_logs.setFileName(zephyrscope::DefaultLogName());
}

int CZephyrscopeDlg::ApplyCommandLine()
{
    const zephyrscope::CommandLineDecision decision = zephyrscope::DecideCommandLine(m_arguments);
    if (decision.result == -1)
        AfxMessageBox(decision.message);
    if (isEnded())
        return decision.result;
    if (m_nobodyToOpen && !decision.url) {
        AfxMessageBox(zephyrscope::kCommandLineNoUrlOffscreen);
        quit(zephyrscope::kExitUsage);
        return decision.result;
    }
    if (decision.logFileName)
        m_logs.setFileName(*decision.logFileName);
    // The log first: nothing may sample or play into a log that could not be
    // made while its message is up.
    OpenLogFile();
    if (isEnded() || decision.result == -1)
        return decision.result;
    // Only a run given its URL is unattended: its failures end it too.
    m_events->setCountdownAfterFailure(decision.url.has_value());
    if (m_monitor && decision.url) {
        m_monitorUrl = *decision.url;
        m_events->setMonitor(true);
        if (m_metrics)
            m_metrics->monitor = true;
    }
    if (decision.url) {
        try {
            m_player->putURL(*decision.url);
        } catch (const zephyrscope::PlayerError& e) {
            reportPlayerError(e.what());
        }
    }
    if (decision.startSampleTimer)
        startSampleTimer();
    return decision.result;
}

void CZephyrscopeDlg::OpenLogFile()
{
    try {
        m_logs.open(m_clock, *m_player);
    } catch (const zephyrscope::LogError& e) {
        // Without its log the run measures nothing: say why and end at once.
        AfxMessageBox(e.what());
        quit(zephyrscope::kExitLogFailure);
    }
}

void CZephyrscopeDlg::OnCommand(int id)
{
    switch (id) {
    case IDC_OPEN:
        OnOpen();
        break;
    case IDOK: // Play has the OK id, so the dialog never ends through OK.
        OnPlay();
        break;
    case IDC_STOP:
        OnStop();
        break;
    case IDC_ABOUT:
        OnAbout();
        break;
    default:
        CDialog::OnCommand(id);
        break;
    }
}

void CZephyrscopeDlg::OnSysCommand(unsigned commandId, long parameter)
{
    if ((commandId & 0xFFF0) == IDM_ABOUTBOX)
        OnAbout();
    else
        CDialog::OnSysCommand(commandId, parameter);
}

void CZephyrscopeDlg::startSampleTimer()
{
    m_logFailureReported = false;
    SetTimer(ID_TIMER_SAMPLE, kSamplePeriodMs);
}

void CZephyrscopeDlg::stopSampleTimer()
{
    KillTimer(ID_TIMER_SAMPLE);
}

void CZephyrscopeDlg::OnPlay()
{
    startSampleTimer();
    guard([this] { m_player->controls()->play(); });
}

void CZephyrscopeDlg::OnStop()
{
    stopSampleTimer();
    guard([this] { m_player->controls()->stop(); });
}

void CZephyrscopeDlg::OnOpen()
{
    COpenMediaDlg dialog(this);
    if (dialog.DoModal() != IDOK)
        return;
    guard([&] {
        m_player->putURL(dialog.m_url);
        startSampleTimer();
    });
}

void CZephyrscopeDlg::OnAbout()
{
    CAboutDlg dialog(this);
    dialog.DoModal();
}

void CZephyrscopeDlg::OnCancel()
{
    quit(zephyrscope::kExitNormal);
}

void CZephyrscopeDlg::quit(int exitStatus)
{
    if (isEnded())
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
    // Nothing the player reports from now on has anywhere to go.
    if (m_player)
        m_player->setEventSink(nullptr);
    endNestedWindows();
    CDialog::OnCancel();
}

void CZephyrscopeDlg::stopPlayer()
{
    // A player that cannot stop must not keep the log open: report and go on quitting.
    try {
        m_player->controls()->stop();
    } catch (const std::exception& e) {
        reportPlayerError(e.what());
    }
}

void CZephyrscopeDlg::endNestedWindows()
{
    if (QWidget* popup = QApplication::activePopupWidget())
        popup->close();
    for (int i = 0; i < kMaxNestedWindows; ++i) {
        QWidget* top = QApplication::activeModalWidget();
        if (!top || top == this)
            break;
        if (auto* dialog = qobject_cast<QDialog*>(top))
            dialog->reject();
        else
            top->close();
        if (QApplication::activeModalWidget() == top)
            top->hide();
    }
}

int CZephyrscopeDlg::runAutoShutdown()
{
    CAutoShutdownDlg dialog(this);
    return dialog.DoModal();
}

void CZephyrscopeDlg::OnTimer(unsigned /*id*/)
{
    // A monitored channel in an outage has nothing playing to sample: its log
    // goes on with the next entry's media block, as a playlist's next entry would.
    if (!m_monitorUrl.empty() && m_outages->inOutage()) {
        if (m_metrics)
            recordMetricsOutages();
        return;
    }
    guard([this] {
        m_sampler->OnTimer();
        m_logs.tick(m_sampler->lastSample());
        m_lastPlayerError.clear();
        if (m_metrics)
            recordMetricsSample();
    });
}

void CZephyrscopeDlg::OnPlayStateChange(std::int32_t newState)
{
    Q_ASSERT(QThread::currentThread() == thread()); // the player delivers on the UI thread
    guard([&] { m_logs.playStateChanged(newState); });
    guard([&] { m_events->OnPlayStateChange(newState); });
    followChannel(newState);
    if (m_metrics) {
        m_metrics->outcomes.playStateChanged(newState, metricsFirstFrameWallMs());
        recordMetricsOutages();
    }
}

void CZephyrscopeDlg::followChannel(std::int32_t newState)
{
    if (m_quitting || !m_outages)
        return;
    const bool monitoring = !m_monitorUrl.empty();
    switch (newState) {
    case zephyrscope::kPlayStatePlaying:
        m_backoff->playing();
        if (const auto outage = m_outages->playing(); outage && monitoring) {
            std::cerr << "Playing '" << zephyrscope::RedactedText(m_monitorUrl) << "' again after an outage of "
                      << outage->durationMs / 1000.0 << " s" << std::endl;
            guard([&] { m_logs.outageEnded(*outage, true); });
        }
        break;
    case zephyrscope::kPlayStateMediaEnded:
        if (m_downReason.empty())
            m_downReason = "ended";
        break;
    case zephyrscope::kPlayStateReady: {
        // The player has nothing more to play: the channel is down until an entry plays again.
        if (m_reconnectTimer.isActive())
            break;
        channelDown(m_downReason.empty() ? std::string("ended") : m_downReason);
        m_downReason.clear();
        if (!monitoring)
            break;
        const std::int32_t delayMs = m_backoff->nextDelayMs();
        std::cerr << "Opening '" << zephyrscope::RedactedText(m_monitorUrl) << "' again in " << delayMs / 1000.0
                  << " s" << std::endl;
        m_reconnectTimer.start(delayMs);
        break;
    }
    default:
        break;
    }
}

void CZephyrscopeDlg::channelDown(const std::string& reason)
{
    const auto outage = m_outages->down(reason);
    if (outage && !m_monitorUrl.empty())
        guard([&] { m_logs.outageStarted(*outage); });
}

void CZephyrscopeDlg::reconnect()
{
    if (m_quitting || isEnded())
        return;
    try {
        m_player->putURL(m_monitorUrl);
    } catch (const zephyrscope::PlayerError& e) {
        // Nothing was opened, so no Ready will come: wait again from here.
        reportPlayerError(e.what());
        m_downReason = e.what();
        followChannel(zephyrscope::kPlayStateReady);
    }
}

void CZephyrscopeDlg::endOpenOutage()
{
    if (m_monitorUrl.empty())
        return;
    if (const auto outage = m_outages->openOutage())
        guard([&] { m_logs.outageEnded(*outage, false); });
}

void CZephyrscopeDlg::reopenLogs()
{
    try {
        m_logs.reopen();
    } catch (const zephyrscope::LogError& e) {
        // Rotation failed: the run goes on writing the files it had.
        std::cerr << e.what() << std::endl;
    }
}

void CZephyrscopeDlg::OnOpenStateChange(std::int32_t newState)
{
    Q_ASSERT(QThread::currentThread() == thread()); // the player delivers on the UI thread
    guard([&] { m_events->OnOpenStateChange(newState); });
    if (newState == zephyrscope::kOpenStateMediaOpen)
        guard([&] { m_logs.mediaOpened(); });
    if (m_metrics && newState == zephyrscope::kOpenStateMediaOpen)
        recordMetricsEntryOpened();
}

void CZephyrscopeDlg::OnMediaError(const std::string& url, const std::string& reason)
{
    Q_ASSERT(QThread::currentThread() == thread()); // the player delivers on the UI thread
    std::string told = reason;
    guard([&] { told = m_events->OnMediaError(url, reason); });
    guard([&] { m_logs.mediaError(url, told); });
    if (m_downReason.empty())
        m_downReason = told;
    // A failed entry is down from now, not from when the player is idle.
    if (!m_monitorUrl.empty() && !m_quitting)
        channelDown(told);
    std::cerr << zephyrscope::RedactedText("Cannot play '" + url + "': " + told) << std::endl;
    if (m_metrics) {
        ++m_metrics->entriesFailed;
        m_metrics->outcomes.failed(metricsFirstFrameWallMs());
    }
}

template <typename Handler>
void CZephyrscopeDlg::guard(Handler&& handler)
{
    // Events and ticks arrive from Qt's loop: nothing may be thrown back into it.
    try {
        handler();
    } catch (const zephyrscope::LogError& e) {
        reportLogFailure(e);
    } catch (const std::exception& e) {
        reportPlayerError(e.what());
    }
}

void CZephyrscopeDlg::reportLogFailure(const zephyrscope::LogError& error)
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
    AfxMessageBox(error.what());
}

void CZephyrscopeDlg::reportPlayerError(const std::string& message)
{
    if (message == m_lastPlayerError)
        return;
    m_lastPlayerError = message;
    std::cerr << zephyrscope::RedactedText(message) << std::endl;
}

void CZephyrscopeDlg::recordMetricsSample()
{
    m_metrics->recordSample(m_sampler->lastSample());
    recordMetricsOutages();
}

void CZephyrscopeDlg::recordMetricsOutages()
{
    if (!m_outages)
        return;
    m_metrics->up = m_outages->up();
    m_metrics->outages = m_outages->outages();
    m_metrics->outageSeconds = static_cast<double>(m_outages->outageMs()) / 1000.0;
}

std::int64_t CZephyrscopeDlg::metricsFirstFrameWallMs()
{
    std::int64_t wallMs = 0;
    if (m_player)
        guard([&] {
            zephyrscope::NetworkFigures figures;
            m_player->snapshot(figures);
            wallMs = figures.firstFrameWallMs;
        });
    return wallMs;
}

void CZephyrscopeDlg::recordMetricsEntryOpened()
{
    ++m_metrics->entriesOpened;
    // The URL labels the entry's series; one read per entry, not per tick.
    guard([this] { m_metrics->entryUrl = m_player->currentMedia()->sourceURL(); });
}

QPoint CZephyrscopeDlg::minimizedIconOrigin(QSize client, QSize icon)
{
    return QPoint((client.width() - icon.width() + 1) / 2, (client.height() - icon.height() + 1) / 2);
}

void CZephyrscopeDlg::paintEvent(QPaintEvent* event)
{
    if (!isMinimized()) {
        CDialog::paintEvent(event);
        return;
    }
    // Where the window system asks a minimised window to draw itself, it shows the icon.
    QPainter painter(this);
    painter.fillRect(rect(), palette().window());
    const QSize iconSize(32, 32);
    painter.drawPixmap(minimizedIconOrigin(rect().size(), iconSize), m_hIcon.pixmap(iconSize));
}

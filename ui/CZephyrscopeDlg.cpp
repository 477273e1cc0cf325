#include "CZephyrscopeDlg.h"

#include "AfxMessageBox.h"
#include "CAboutDlg.h"
#include "CAutoShutdownDlg.h"
#include "COpenMediaDlg.h"
#include "CommandLine.h"
#include "DefaultLogName.h"
#include "ExitStatus.h"
#include "MainFrameIcon.h"
#include "PlayerError.h"
#include "Resource.h"
#include "Version.h"

#include <QApplication>
#include <QLineEdit>
#include <QPaintEvent>
#include <QPainter>

#include <exception>

namespace {

// Bounds the unwinding of nested windows at quit, in case one refuses to close.
constexpr int kMaxNestedWindows = 16;

} // namespace

CZephyrscopeDlg::CZephyrscopeDlg(PlayerFactory createPlayer, std::vector<std::string> arguments,
                                 zephyrscope::Clock& clock, QWidget* parent)
    : CDialog(QStringLiteral("Zephyrscope V" ZEPHYRSCOPE_VERSION), QSize(320, 200), parent)
    , m_createPlayer(std::move(createPlayer))
    , m_arguments(std::move(arguments))
    , m_videoArea(new QWidget(this))
    , m_hIcon(MainFrameIcon())
    , m_sampleTimer(*this, ID_TIMER_SAMPLE)
    , m_reconnectTimer(*this, ID_TIMER_RECONNECT)
    , m_run(clock, m_fpsEdit, m_sampleTimer, m_reconnectTimer, *this)
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
    m_run.usePlayer(*m_player);
    m_player->setEventSink(&m_run);
}

bool CZephyrscopeDlg::OnInitDialog()
{
    CDialog::OnInitDialog();
    try {
        DoDataExchange();
    } catch (const std::exception& e) {
        m_run.endWithoutPlayer(e.what());
        return true;
    }

    AppendSystemMenuSeparator();
    AppendSystemMenuItem(IDM_ABOUTBOX, QString::fromLatin1(kAboutBoxText));

    setWindowIcon(m_hIcon);

    m_run.setLogFileName(zephyrscope::DefaultLogName());
    // The playback values start from here: m_clipEnded and m_restartClock 0, m_playStartClock now.
    m_run.begin();

    // A termination signal taken while a message box was up has already quit.
    if (ApplyCommandLine() == -1 && !isEnded())
        AfxMessageBox(zephyrscope::kCommandLineIgnored);
    return true;
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
        m_run.setLogFileName(*decision.logFileName);
    // The log first: nothing may sample or play into a log that could not be
    // made while its message is up.
    m_run.openLogs();
    if (isEnded() || decision.result == -1)
        return decision.result;
    m_run.start(decision.url, decision.startSampleTimer);
    return decision.result;
}

void CZephyrscopeDlg::OnCommand(int id)
{
    switch (id) {
    case IDC_OPEN:
        OnOpen();
        break;
    case IDOK: // Play has the OK id, so the dialog never ends through OK.
        m_run.play();
        break;
    case IDC_STOP:
        m_run.stop();
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

void CZephyrscopeDlg::OnOpen()
{
    COpenMediaDlg dialog(this);
    if (dialog.DoModal() != IDOK)
        return;
    m_run.open(dialog.m_url);
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
    if (!isEnded())
        m_run.quit(exitStatus);
}

void CZephyrscopeDlg::showMessage(const std::string& text)
{
    AfxMessageBox(text);
}

int CZephyrscopeDlg::runAutoShutdown()
{
    CAutoShutdownDlg dialog(this);
    return dialog.DoModal();
}

void CZephyrscopeDlg::endRun()
{
    // Nothing the player reports from now on has anywhere to go.
    if (m_player)
        m_player->setEventSink(nullptr);
    endNestedWindows();
    CDialog::OnCancel();
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

void CZephyrscopeDlg::OnTimer(unsigned id)
{
    if (id == ID_TIMER_RECONNECT)
        m_run.reconnect();
    else
        m_run.tick();
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

#include "CZephyrscopeApp.h"

#include "CZephyrscopeDlg.h"
#include "ExitStatus.h"
#include "SignalNotifier.h"
#include "SystemClock.h"

#include <QGuiApplication>

#include <csignal>
#include <string>
#include <vector>

CZephyrscopeApp::CZephyrscopeApp(PlayerFactory createPlayer, std::vector<std::string> arguments,
                                 const zephyrscope::ProgramOptions& options, zephyrscope::MetricsFigures* metricsFigures)
    : m_createPlayer(std::move(createPlayer))
    , m_arguments(std::move(arguments))
    , m_options(options)
    , m_metricsFigures(metricsFigures)
{
}

bool CZephyrscopeApp::InitInstance()
{
    // Interrupted or terminated, the run still stops the player and closes its log.
    // The handlers go in first; a signal that comes before the dialog runs waits in
    // the notifier's pipe until the dialog's loop reads it.
    const bool hangUpReopens = m_options.monitor;
    SignalNotifier signalNotifier(hangUpReopens ? SignalNotifier::HangUp::Reopens : SignalNotifier::HangUp::Quits);

    zephyrscope::SystemClock clock;
    CZephyrscopeDlg dialog(m_createPlayer, m_arguments, clock);
    dialog.setNobodyToOpen(QGuiApplication::platformName() == QLatin1String("offscreen"));
    dialog.run().setMetricsFigures(m_metricsFigures);
    dialog.run().setJsonLogName(m_options.jsonLog);
    dialog.run().setMonitor(m_options.monitor);
    dialog.run().setChannel(m_options.channel);
    QObject::connect(&signalNotifier, &SignalNotifier::signalled, &dialog, [&dialog, hangUpReopens](int signalNumber) {
        // logrotate's postrotate: the logs were renamed; a monitoring run writes new ones.
        if (signalNumber == SIGHUP && hangUpReopens) {
            dialog.run().reopenLogs();
            return;
        }
        // A hang-up (the terminal closed, a service manager's reload) quits as a terminate does.
        dialog.quit(signalNumber == SIGINT   ? zephyrscope::kExitInterrupted
                        : signalNumber == SIGHUP ? zephyrscope::kExitHangUp
                                                 : zephyrscope::kExitTerminated);
    });

    dialog.DoModal();
    m_exitStatus = dialog.exitStatus();
    return false;
}

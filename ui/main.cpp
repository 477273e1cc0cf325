#include "CWMPPlayer4.h"
#include "CZephyrscopeApp.h"
#include "ExitStatus.h"
#include "HeadlessPlatform.h"
#include "MetricsFigures.h"
#include "MetricsServer.h"
#include "PlayerFactory.h"
#include "ProgramOptions.h"
#include "ProgramUsage.h"

#include <QApplication>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

namespace {

// Qt warns on every start without XDG_RUNTIME_DIR, as in a plain ssh session or a
// CI job; nothing of ours uses it, so the warning would only bury real messages.
void filterQtMessages(QtMsgType type, const QMessageLogContext& context, const QString& message)
{
    if (message.startsWith(QLatin1String("QStandardPaths: XDG_RUNTIME_DIR not set")))
        return;
    if (type == QtDebugMsg)
        return;
    const QByteArray text = qFormatLogMessage(type, context, message).toLocal8Bit();
    std::fprintf(stderr, "%s\n", text.constData());
}

std::string environmentText(const char* name)
{
    const char* value = std::getenv(name);
    return value ? value : "";
}

} // namespace

int main(int argc, char* argv[])
{
    // Past a file-size limit a write should fail and be reported, not kill the run.
    std::signal(SIGXFSZ, SIG_IGN);
    // An unattended run whose stderr reader has gone (a pipe into a pager or a
    // logger that ended) must go on measuring: a message that cannot be shown is
    // lost, the run is not.
    std::signal(SIGPIPE, SIG_IGN);
    // Our options come off first: --help and a usage error end the run before
    // Qt starts or any file is touched.
    zephyrscope::ProgramOptions options =
        zephyrscope::ParseProgramOptions(std::vector<std::string>(argv, argv + argc));
    if (!options.error.empty()) {
        std::fprintf(stderr, "zephyrscope: %s\nTry 'zephyrscope --help' for more information.\n",
                     options.error.c_str());
        return zephyrscope::kExitUsage;
    }
    if (options.help) {
        std::fputs(zephyrscope::kProgramUsage, stdout);
        return zephyrscope::kExitNormal;
    }
    if (options.version) {
        std::printf("%s\n", zephyrscope::kProgramVersion);
        return zephyrscope::kExitNormal;
    }

    // A CA file that cannot be used is a bad option value: said before anything starts.
    if (!options.caFile.empty()) {
        if (const std::string error = CaFileError(options.caFile); !error.empty()) {
            std::fprintf(stderr, "zephyrscope: %s\n", error.c_str());
            return zephyrscope::kExitUsage;
        }
    }

    zephyrscope::CWMPPlayer4::setWebRtcOptions(options.bearerToken, options.stunServer, options.turnServer);

    // The endpoint is bound before Qt starts, anything is played or the log is
    // touched, so a port in use ends the run with nothing lost. It serves from the
    // default GLib context, which Qt's event loop runs once the dialog is up.
    zephyrscope::MetricsFigures metricsFigures;
    std::unique_ptr<zephyrscope::MetricsServer> metricsServer;
    if (options.metrics) {
        metricsServer = std::make_unique<zephyrscope::MetricsServer>(metricsFigures);
        try {
            metricsServer->listen(*options.metrics);
        } catch (const zephyrscope::MetricsError& e) {
            std::fprintf(stderr, "%s\n", e.what());
            return zephyrscope::kExitMetricsFailure;
        }
        std::fprintf(stderr, "Serving metrics at %s\n", metricsServer->metricsUrl().c_str());
    }

    qInstallMessageHandler(filterQtMessages);

    // With no display Qt would abort (status 134) for want of one; a probe on a
    // server should simply run unattended there.
    if (zephyrscope::NeedsHeadlessPlatform({environmentText("DISPLAY"), environmentText("WAYLAND_DISPLAY"),
                                            environmentText("QT_QPA_PLATFORM")},
                                           options.arguments)) {
        std::fprintf(stderr, "%s\n", zephyrscope::kHeadlessNotice);
        if (options.arguments.empty()) // started with no argument 0 at all
            options.arguments.emplace_back("zephyrscope");
        options.arguments.insert(options.arguments.begin() + 1, {"-platform", zephyrscope::kOffscreenPlatform});
    }

    // Qt sees the rest: its own options and the URL and log name.
    std::vector<char*> qtArguments;
    for (std::string& argument : options.arguments)
        qtArguments.push_back(argument.data());
    qtArguments.push_back(nullptr);
    int qtArgumentCount = static_cast<int>(qtArguments.size()) - 1;
    argv = qtArguments.data();
    QApplication application(qtArgumentCount, argv);
    // QApplication has taken its own options (-platform and the like) out of argv.
    // The rest is used as given: a file name that is not UTF-8 would not survive
    // a round trip through QString.
    const std::string caFile = options.caFile;
    CZephyrscopeApp app([caFile](QWidget* videoArea) { return CreatePlayerTrusting(videoArea, caFile); },
                        std::vector<std::string>(argv, argv + qtArgumentCount));
    app.setMetricsFigures(metricsServer ? &metricsFigures : nullptr);
    app.InitInstance();
    return app.exitStatus();
}

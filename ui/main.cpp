#include "CZephyrscopeApp.h"
#include "CommandLine.h"
#include "Diagnostics.h"
#include "ExitStatus.h"
#include "HeadlessPlatform.h"
#include "MallocArenas.h"
#include "MetricsFigures.h"
#include "MetricsServer.h"
#include "PlatformPlugins.h"
#include "PlayerFactory.h"
#include "ProgramOptions.h"
#include "ProgramUsage.h"
#include "RedactedUrl.h"

#include <QAbstractEventDispatcher>
#include <QApplication>
#include <QGuiApplication>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
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
    std::fprintf(stderr, "%s\n", zephyrscope::RedactedText(text.toStdString()).c_str());
}

// A usage error: what is wrong, then how the program is used.
int usageError(const std::string& problem)
{
    std::fprintf(stderr, "zephyrscope: %s\n%s\nTry 'zephyrscope --help' for more information.\n", problem.c_str(),
                 zephyrscope::kUsageLine);
    return zephyrscope::kExitUsage;
}

std::string environmentText(const char* name)
{
    const char* value = std::getenv(name);
    return value ? value : "";
}

// What the options alone answer, before Qt starts or any file is touched: a
// usage error, --help, --version, a CA file that cannot be used. Nothing when
// the run goes on.
std::optional<int> answerFromOptions(const zephyrscope::ProgramOptions& options)
{
    if (!options.error.empty()) {
        std::fprintf(stderr, "zephyrscope: %s\nTry 'zephyrscope --help' for more information.\n",
                     options.error.c_str());
        return zephyrscope::kExitUsage;
    }
    if (options.help) {
        std::fputs(zephyrscope::kProgramUsage.c_str(), stdout);
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
    return std::nullopt;
}

// The metrics endpoint, bound, when --metrics asks for one; nullptr when not.
// Throws MetricsError when it cannot be bound.
std::unique_ptr<zephyrscope::MetricsServer> bindMetricsEndpoint(zephyrscope::MetricsFigures& figures,
                                                                const zephyrscope::ProgramOptions& options)
{
    if (!options.metrics)
        return nullptr;
    auto server = std::make_unique<zephyrscope::MetricsServer>(figures, options.metricsConnections);
    server->listen(*options.metrics);
    std::fprintf(stderr, "Serving metrics at %s\n", server->metricsUrl().c_str());
    return server;
}

// Puts Qt on its offscreen platform where there is no display: Qt would abort
// (status 134) for want of one, and a probe on a server should simply run
// unattended there. Returns a usage problem for a platform Qt has no plugin for
// (Qt would abort the process), or nothing.
std::string choosePlatform(std::vector<std::string>& arguments)
{
    if (zephyrscope::NeedsHeadlessPlatform({environmentText("DISPLAY"), environmentText("WAYLAND_DISPLAY"),
                                            environmentText("QT_QPA_PLATFORM")},
                                           arguments)) {
        std::fprintf(stderr, "%s\n", zephyrscope::kHeadlessNotice);
        if (arguments.empty()) // started with no argument 0 at all
            arguments.emplace_back("zephyrscope");
        arguments.insert(arguments.begin() + 1, {"-platform", zephyrscope::kOffscreenPlatform});
    }
    if (const QString platform = RequestedPlatform(arguments);
        !platform.isEmpty() && !AvailablePlatforms().contains(platform))
        return "unknown platform '" + platform.toStdString() + "' (Qt's platforms here: "
            + AvailablePlatforms().join(QLatin1String(", ")).toStdString() + ")";
    return {};
}

// The player's bus and timers and the metrics endpoint are GLib sources on the
// default context, which only Qt's GLib event dispatcher runs: without it
// (QT_NO_GLIB=1) nothing would ever be delivered and the run would hang.
bool dispatchesGlibSources()
{
    const QAbstractEventDispatcher* dispatcher = QAbstractEventDispatcher::instance();
    if (!dispatcher || dispatcher->inherits("QEventDispatcherGlib"))
        return true;
    std::fprintf(stderr, "zephyrscope: Cannot run the player without GLib's main loop: Qt's event dispatcher "
                         "is not GLib's (is QT_NO_GLIB set?)\n");
    return false;
}

// The URL and log name's problem, if any. Where nobody can see the dialog's box
// the run ends at once (returns the usage status); with a display the dialog
// says it too and waits for Open.
std::optional<int> answerFromCommandLine(const std::vector<std::string>& arguments, std::size_t literalCount)
{
    const std::string problem = zephyrscope::CommandLineProblem(arguments, literalCount);
    if (problem.empty())
        return std::nullopt;
    const bool unknownOption = problem.rfind("unknown option", 0) == 0;
    if (unknownOption || QGuiApplication::platformName() == QLatin1String("offscreen"))
        return usageError(problem);
    std::fprintf(stderr, "zephyrscope: %s\n%s\n", problem.c_str(), zephyrscope::kUsageLine);
    return std::nullopt;
}

// Runs the application with the player the options set up; returns its exit status.
int runApplication(const zephyrscope::ProgramOptions& options, std::vector<std::string> arguments,
                   zephyrscope::MetricsFigures* metricsFigures)
{
    const PlayerSettings playerSettings {options.caFile, options.noDataTimeoutS, options.bearerToken,
                                         options.stunServer, options.turnServer, options.transportOnly,
                                         options.content.settings()};
    CZephyrscopeApp app([playerSettings](QWidget* videoArea) { return CreatePlayerWith(videoArea, playerSettings); },
                        std::move(arguments), options, metricsFigures);
    app.InitInstance();
    return app.exitStatus();
}

} // namespace

int main(int argc, char* argv[])
{
    // Before Qt or GStreamer start a thread: later threads share the capped arenas.
    zephyrscope::CapMallocArenas();
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
    if (const std::optional<int> status = answerFromOptions(options))
        return *status;

    // The endpoint is bound before Qt starts, anything is played or the log is
    // touched, so a port in use ends the run with nothing lost. It serves from the
    // default GLib context, which Qt's event loop runs once the dialog is up.
    zephyrscope::MetricsFigures metricsFigures;
    metricsFigures.channel = options.channel;
    std::unique_ptr<zephyrscope::MetricsServer> metricsServer;
    try {
        metricsServer = bindMetricsEndpoint(metricsFigures, options);
    } catch (const zephyrscope::MetricsError& e) {
        std::fprintf(stderr, "%s\n", e.what());
        return zephyrscope::kExitMetricsFailure;
    }

    qInstallMessageHandler(filterQtMessages);
    zephyrscope::Diagnostics::maskPasswordsInPrintedErrors();
    zephyrscope::Diagnostics::setVerbose(options.verbose);
    if (const std::string problem = choosePlatform(options.arguments); !problem.empty())
        return usageError(problem);

    // Qt sees the rest: its own options and the URL and log name.
    std::vector<char*> qtArguments;
    for (std::string& argument : options.arguments)
        qtArguments.push_back(argument.data());
    qtArguments.push_back(nullptr);
    int qtArgumentCount = static_cast<int>(qtArguments.size()) - 1;
    argv = qtArguments.data();
    QApplication application(qtArgumentCount, argv);
    if (!dispatchesGlibSources())
        return zephyrscope::kExitNoPlayer;
    // QApplication has taken its own options (-platform and the like) out of argv.
    // The rest is used as given: a file name that is not UTF-8 would not survive
    // a round trip through QString.
    std::vector<std::string> arguments(argv, argv + qtArgumentCount);
    if (const std::optional<int> status = answerFromCommandLine(arguments, options.literalCount))
        return *status;
    return runApplication(options, std::move(arguments), metricsServer ? &metricsFigures : nullptr);
}

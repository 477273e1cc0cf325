// zephyrscope-report: summaries and charts from statistics logs.
#include "ChartRenderer.h"
#include "JsonReport.h"
#include "LogReader.h"
#include "RunSummary.h"
#include "TextReport.h"

#include <QFileInfo>
#include <QGuiApplication>

#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <string>

using namespace zephyrscope::report;

namespace {

constexpr char kUsage[] =
    "Usage: zephyrscope-report LOG [--json] [--plot FILE.png|FILE.svg] [--size WIDTHxHEIGHT]\n"
    "  Summarises a Zephyrscope statistics log: start-up, stalls, bit rate, frame rate, loss.\n"
    "  --json   print one JSON object instead of text\n"
    "  --plot   also draw a chart over time (PNG or SVG, by the file's extension)\n"
    "  --size   the chart's size in pixels (default 1200x900)\n";

struct Options {
    std::string log;
    bool json = false;
    std::string plot;
    int width = 1200;
    int height = 900;
};

bool parseSize(const std::string& text, int& width, int& height)
{
    const std::size_t x = text.find('x');
    if (x == std::string::npos)
        return false;
    try {
        std::size_t used = 0;
        width = std::stoi(text.substr(0, x), &used);
        if (used != x)
            return false;
        height = std::stoi(text.substr(x + 1), &used);
        if (used != text.size() - x - 1)
            return false;
    } catch (const std::exception&) {
        return false;
    }
    return width >= 200 && width <= 10000 && height >= 200 && height <= 10000;
}

// Returns an error text, or an empty one when the arguments are good.
std::string parseArguments(int argc, char** argv, Options& options)
{
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--json") {
            options.json = true;
        } else if (arg == "--plot" || arg == "--size") {
            if (i + 1 >= argc)
                return arg + " needs a value";
            const std::string value = argv[++i];
            if (arg == "--plot")
                options.plot = value;
            else if (!parseSize(value, options.width, options.height))
                return "--size takes WIDTHxHEIGHT, each 200 to 10000 pixels, not '" + value + "'";
        } else if (arg == "-h" || arg == "--help") {
            return "help";
        } else if (!arg.empty() && arg[0] == '-') {
            return "unknown option '" + arg + "'";
        } else if (options.log.empty()) {
            options.log = arg;
        } else {
            return "only one log can be read at a time";
        }
    }
    if (options.log.empty())
        return "no log given";
    return {};
}

// Qt warns about a missing XDG_RUNTIME_DIR, which does not matter for drawing to a file.
void quietMessages(QtMsgType type, const QMessageLogContext&, const QString& message)
{
    if (message.startsWith("QStandardPaths: XDG_RUNTIME_DIR"))
        return;
    if (type != QtDebugMsg)
        std::fprintf(stderr, "zephyrscope-report: %s\n", message.toLocal8Bit().constData());
}

} // namespace

int main(int argc, char** argv)
{
    Options options;
    const std::string problem = parseArguments(argc, argv, options);
    if (problem == "help") {
        std::fputs(kUsage, stdout);
        return 0;
    }
    if (!problem.empty()) {
        std::fprintf(stderr, "zephyrscope-report: %s\n%s", problem.c_str(), kUsage);
        return 2;
    }

    StatisticsLog log;
    try {
        log = LogReader::fromFile(options.log);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "zephyrscope-report: %s\n", e.what());
        return 1;
    }
    const RunSummary summary = Summarize(log);

    if (options.json) {
        for (const LogProblem& p : summary.problems)
            std::fprintf(stderr, "zephyrscope-report: %s line %d: %s\n", options.log.c_str(), p.line,
                         p.message.c_str());
        std::fputs(FormatJsonReport(summary, options.log).c_str(), stdout);
    } else {
        std::fputs(FormatTextReport(summary, options.log).c_str(), stdout);
    }

    if (!options.plot.empty()) {
        // Drawing needs fonts but no display.
        if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
            qputenv("QT_QPA_PLATFORM", "offscreen");
        qInstallMessageHandler(quietMessages);
        QGuiApplication app(argc, argv);
        const ChartRenderer chart(log, summary, "Zephyrscope: " + QFileInfo(QString::fromStdString(options.log)).fileName());
        const QString error = chart.save(QString::fromStdString(options.plot), QSize(options.width, options.height));
        if (!error.isEmpty()) {
            std::fprintf(stderr, "zephyrscope-report: %s\n", error.toLocal8Bit().constData());
            return 1;
        }
        if (!options.json)
            std::printf("\nChart written to %s\n", options.plot.c_str());
    }
    return 0;
}

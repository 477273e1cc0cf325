// zephyrscope-report: summaries and charts from statistics logs.
#include "ChartRenderer.h"
#include "ExitStatus.h"
#include "JsonLogReader.h"
#include "JsonReport.h"
#include "LogReader.h"
#include "P1203Input.h"
#include "RunSummary.h"
#include "ProgramOption.h"
#include "ProgramUsage.h"
#include "TextReport.h"
#include "Version.h"

#include <QFileInfo>
#include <QGuiApplication>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <cstdlib>
#include <optional>
#include <stdexcept>
#include <string>

using namespace zephyrscope::report;

namespace {

constexpr char kVersion[] = "zephyrscope-report " ZEPHYRSCOPE_VERSION;

// Arguments that are wrong: said on stderr with the usage, status as the program's (sysexits' EX_USAGE).
using zephyrscope::kExitUsage;
constexpr int kExitFailure = 1;
constexpr zephyrscope::ExitStatusMeaning kReportExitStatuses[] = {
    {0, "the summary (and the chart) were written"},
    {kExitFailure, "the log could not be read, is not a Zephyrscope log, or the chart or the\n"
                   "P.1203 input could not be written"},
    {kExitUsage, "usage error: an unknown option, a bad option value, no LOG or two"},
};
// A chart beyond a 4K screen or an A4 page at 300 dpi only costs time to draw.
constexpr int kMinChartPixels = 200;
constexpr int kMaxChartPixels = 4096;

// The report's command line, in the order --help lists it. The manual page
// (docs/man/zephyrscope-report.1) is checked against --help by the package tests.
constexpr zephyrscope::ProgramOption kReportOptions[] = {
    {"--json", "", "", "print one JSON object instead of text"},
    {"--plot", "", "FILE", "also draw a chart over time (PNG or SVG, by FILE's extension)"},
    {"--p1203-input", "", "FILE",
     "also write each clip's ITU-T P.1203 mode-0 input (JSON) to FILE, or FILE-1, FILE-2... for several clips"},
    {"--size", "", "WIDTHxHEIGHT",
     "the chart's size in pixels, up to a 4K screen or an A4 page at 300 dpi", {}, "1200x900", kMinChartPixels,
     kMaxChartPixels},
    {"--help", "-h", "", "print this text and exit"},
    {"--version", "-V", "", "print the version and exit"},
    {"--", "", "", "end of options: a LOG that starts with - can follow", {}, {}, 0, 0,
     zephyrscope::ProgramOption::Taker::EndOfOptions},
};
// Where the help of each option starts.
constexpr std::size_t kOptionColumn = 23;

std::string usage()
{
    return "Usage: zephyrscope-report [OPTION]... LOG\n"
           "Summarises a Zephyrscope statistics log or JSON Lines log (--json-log): start-up,\n"
           "stalls, bit rate, frame rate, loss, the session in CTA-2066's terms and a QoE\n"
           "score; from a JSON Lines log also time to first frame and stalls to the\n"
           "millisecond, and live latency.\n"
           "\n"
           "Options:\n"
        + zephyrscope::FormatOptionList(kReportOptions, kOptionColumn, ' ')
        + "\n"
          "Exit status:\n"
        + zephyrscope::FormatExitStatusList(kReportExitStatuses);
}
// Lines of a file that is not a log shown as examples of why.
constexpr std::size_t kNotALogExamples = 3;

struct Options {
    std::string log;
    bool json = false;
    std::string plot;
    std::string p1203Input;
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
    return width >= kMinChartPixels && width <= kMaxChartPixels && height >= kMinChartPixels
        && height <= kMaxChartPixels;
}

// A problem's text as an example on a terminal: bytes that are not printable
// ASCII shown as '?', and no more than a line's worth.
std::string printable(const std::string& text)
{
    constexpr std::size_t kMaxChars = 120;
    std::string shown;
    for (const char c : text.substr(0, kMaxChars))
        shown += (c >= ' ' && c <= '~') ? c : '?';
    return text.size() > kMaxChars ? shown + "..." : shown;
}

enum class Request { Report, Help, Version };

// Returns an error text, or an empty one when the arguments are good. Options may
// stand before or after LOG, as "--plot FILE" or "--plot=FILE"; "--" ends them.
std::string parseArguments(int argc, char** argv, Options& options, Request& request)
{
    bool optionsEnded = false;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (optionsEnded || arg.empty() || arg[0] != '-' || arg == "-") {
            if (!options.log.empty())
                return "only one log can be read at a time";
            options.log = arg;
            continue;
        }
        std::optional<std::string> value;
        if (const std::size_t equals = arg.find('='); arg.rfind("--", 0) == 0 && equals != std::string::npos) {
            value = arg.substr(equals + 1);
            arg.resize(equals);
        }
        const zephyrscope::ProgramOption* row = zephyrscope::findProgramOption(kReportOptions, arg);
        if (arg == "--") {
            optionsEnded = true;
        } else if (!row) {
            return "unknown option '" + arg + "'";
        } else if (row->argument.empty()) {
            if (value)
                return "option '" + arg + "' takes no value";
            if (row->name == "--json")
                options.json = true;
            else if (request == Request::Report)
                request = row->name == "--help" ? Request::Help : Request::Version;
        } else {
            if (!value) {
                if (i + 1 >= argc)
                    return "option '" + arg + "' needs a value";
                value = argv[++i];
            }
            if (row->name == "--plot" && value->empty())
                return "--plot needs the name of a .png or .svg file";
            if (row->name == "--p1203-input" && value->empty())
                return "--p1203-input needs the name of a file to write";
            if (row->name == "--plot")
                options.plot = *value;
            else if (row->name == "--p1203-input")
                options.p1203Input = *value;
            else if (!parseSize(*value, options.width, options.height))
                return "--size takes " + std::string(row->argument) + ", each " + std::to_string(row->min) + " to "
                    + std::to_string(row->max) + " pixels, not '" + *value + "'";
        }
    }
    if (request == Request::Report && options.log.empty())
        return "no log given";
    return {};
}

// Each clip's P.1203 input to its file; false (said on stderr) when one cannot be written.
bool writeP1203Inputs(const StatisticsLog& log, const RunSummary& summary, const Options& options)
{
    if (summary.clips.empty()) {
        std::fprintf(stderr, "zephyrscope-report: Cannot write P.1203 input '%s': the log has no clip\n",
                     options.p1203Input.c_str());
        return false;
    }
    for (std::size_t k = 0; k < summary.clips.size(); ++k) {
        const std::string path = P1203InputPath(options.p1203Input, k, summary.clips.size());
        const std::string text = FormatP1203Input(log, summary, k);
        std::FILE* file = std::fopen(path.c_str(), "w");
        bool written = file && std::fwrite(text.data(), 1, text.size(), file) == text.size();
        int error = errno;
        if (file && std::fclose(file) != 0 && written) {
            written = false;
            error = errno;
        }
        if (!written) {
            std::fprintf(stderr, "zephyrscope-report: Cannot write P.1203 input '%s': %s\n", path.c_str(),
                         std::strerror(error));
            return false;
        }
        if (!options.json)
            std::printf("\nP.1203 input written to %s\n", path.c_str());
    }
    return true;
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
    Request request = Request::Report;
    const std::string problem = parseArguments(argc, argv, options, request);
    if (!problem.empty()) {
        std::fprintf(stderr, "zephyrscope-report: %s\n%s", problem.c_str(), usage().c_str());
        return kExitUsage;
    }
    if (request == Request::Help) {
        std::fputs(usage().c_str(), stdout);
        return 0;
    }
    if (request == Request::Version) {
        std::printf("%s\n", kVersion);
        return 0;
    }

    StatisticsLog log;
    try {
        log = JsonLogReader::fromAnyFile(options.log);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "zephyrscope-report: %s\n", e.what());
        return kExitFailure;
    }
    if (!LogReader::isLog(log)) {
        std::fprintf(stderr, "zephyrscope-report: Cannot read log file '%s': not a Zephyrscope log\n",
                     options.log.c_str());
        for (std::size_t k = 0; k < log.problems.size() && k < kNotALogExamples; ++k)
            std::fprintf(stderr, "  line %d: %s\n", log.problems[k].line, printable(log.problems[k].message).c_str());
        return kExitFailure;
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

    if (!options.p1203Input.empty() && !writeP1203Inputs(log, summary, options))
        return kExitFailure;

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
            return kExitFailure;
        }
        if (!options.json)
            std::printf("\nChart written to %s\n", options.plot.c_str());
    }
    return 0;
}

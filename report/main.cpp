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

enum class Request { Report, Help, Version };

struct Options {
    std::string log;
    bool json = false;
    std::string plot;
    std::string p1203Input;
    int width = 1200;
    int height = 900;
    Request request = Request::Report;
};
using ReportOption = zephyrscope::OptionRow<Options>;
using zephyrscope::field;

// One side of "WIDTHxHEIGHT" as std::stoi reads it, when in range; 0 when not.
int chartSide(const std::string& text)
{
    try {
        std::size_t used = 0;
        const int side = std::stoi(text, &used);
        return used == text.size() && side >= kMinChartPixels && side <= kMaxChartPixels ? side : 0;
    } catch (const std::exception&) {
        return 0;
    }
}

// The first of --help and --version is done.
std::string takeRequest(Options& options, const ReportOption& row, const std::optional<std::string>& value)
{
    if (value)
        return "option '" + std::string(row.name) + "' takes no value";
    if (options.request == Request::Report)
        options.request = row.name == "--help" ? Request::Help : Request::Version;
    return {};
}

std::string takeSize(Options& options, const ReportOption& row, const std::optional<std::string>& value)
{
    if (!value)
        return "option '" + std::string(row.name) + "' needs a value";
    const std::size_t x = value->find('x');
    options.width = chartSide(value->substr(0, x));
    options.height = x == std::string::npos ? 0 : chartSide(value->substr(x + 1));
    if (options.width == 0 || options.height == 0)
        return "--size takes " + std::string(row.argument) + ", each " + std::to_string(row.min) + " to "
            + std::to_string(row.max) + " pixels, not '" + *value + "'";
    return {};
}

// A LOG, or after "--" anything; what else starts with a dash is an option we do not know.
std::string takeLog(Options& options, const std::string& argument, bool afterDashes)
{
    if (!afterDashes && argument.size() > 1 && argument[0] == '-')
        return "unknown option '" + argument + "'";
    if (!options.log.empty())
        return "only one log can be read at a time";
    options.log = argument;
    return {};
}

// The report's command line, in the order --help lists it. The manual page
// (docs/man/zephyrscope-report.1) is checked against --help by the package tests.
constexpr ReportOption kReportOptions[] = {
    {"--json", "", "", "print one JSON object instead of text", &field<&Options::json>},
    {"--plot", "", "FILE", "also draw a chart over time (PNG or SVG, by FILE's extension)",
     ReportOption::Text {&field<&Options::plot>, {}, "the name of a .png or .svg file"}},
    {"--p1203-input", "", "FILE",
     "also write each clip's ITU-T P.1203 mode-0 input (JSON) to FILE, or FILE-1, FILE-2... for several clips",
     ReportOption::Text {&field<&Options::p1203Input>, {}, "the name of a file to write"}},
    {"--size", "", "WIDTHxHEIGHT",
     "the chart's size in pixels, up to a 4K screen or an A4 page at 300 dpi", &takeSize, "1200x900",
     kMinChartPixels, kMaxChartPixels},
    {"--help", "-h", "", "print this text and exit", &takeRequest},
    {"--version", "-V", "", "print the version and exit", &takeRequest},
    {"--", "", "", "end of options: a LOG that starts with - can follow", {}, {}, 0, 0,
     zephyrscope::OptionTaker::EndOfOptions},
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
    std::string problem =
        zephyrscope::ParseOptions<Options>(kReportOptions, std::vector<std::string>(argv, argv + argc), options, &takeLog);
    if (problem.empty() && options.request == Request::Report && options.log.empty())
        problem = "no log given";
    if (!problem.empty()) {
        std::fprintf(stderr, "zephyrscope-report: %s\n%s", problem.c_str(), usage().c_str());
        return kExitUsage;
    }
    if (options.request == Request::Help) {
        std::fputs(usage().c_str(), stdout);
        return 0;
    }
    if (options.request == Request::Version) {
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

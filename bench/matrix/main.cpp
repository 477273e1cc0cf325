// The impairment matrix: every live protocol played through a relay or server
// this project controls under each impairment, every figure beside the relay's
// own count. Writes the table (MATRIX.md), every cell (matrix.json) and the
// chart of stall time and loss (matrix.png) into the output folder.
//
// bench_matrix [--out DIR] [--only PROTOCOL,...] [--impairment ID,...] [--worst] [--list]
//
// --worst plays each protocol's worst cell alone (the test suite's subset).
// Exit status: 0 when every cell played and no figure is wrong, 1 otherwise,
// 2 on a bad option.
#include "MatrixChart.h"
#include "MatrixProtocols.h"
#include "MatrixReport.h"

#include <QGuiApplication>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <set>
#include <sstream>
#include <string>

#include <sys/stat.h>

using namespace zephyrscope::bench;

namespace {

std::set<std::string> splitList(const std::string& text)
{
    std::set<std::string> items;
    std::istringstream in(text);
    for (std::string item; std::getline(in, item, ',');) {
        if (!item.empty())
            items.insert(item);
    }
    return items;
}

int usage(const char* problem)
{
    std::fprintf(stderr, "bench_matrix: %s\nUsage: bench_matrix [--out DIR] [--only PROTOCOL,...] "
                         "[--impairment ID,...] [--worst] [--list]\n",
                 problem);
    return 2;
}

} // namespace

int main(int argc, char** argv)
{
    std::string outDir = "docs";
    std::set<std::string> only, impairments;
    bool worst = false, list = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool hasValue = i + 1 < argc;
        if (arg == "--out" && hasValue)
            outDir = argv[++i];
        else if (arg == "--only" && hasValue)
            only = splitList(argv[++i]);
        else if (arg == "--impairment" && hasValue)
            impairments = splitList(argv[++i]);
        else if (arg == "--worst")
            worst = true;
        else if (arg == "--list")
            list = true;
        else
            return usage(("unknown option or missing value: " + arg).c_str());
    }
    for (const std::string& id : impairments) {
        if (!MatrixImpairments::find(id))
            return usage(("no impairment '" + id + "'").c_str());
    }

    // The plan first, so a long run says what it will do.
    std::vector<std::pair<MatrixProtocol, MatrixImpairment>> plan;
    for (const MatrixProtocol& protocol : MatrixProtocols::all()) {
        if (!only.empty() && !only.count(protocol.name))
            continue;
        for (const MatrixImpairment& impairment : MatrixImpairments::forProtocol(protocol.repairs)) {
            if (worst && impairment.id != protocol.worstImpairment)
                continue;
            if (!impairments.empty() && !impairments.count(impairment.id))
                continue;
            plan.emplace_back(protocol, impairment);
        }
    }
    if (list) {
        for (const auto& [protocol, impairment] : plan)
            std::printf("%s\t%s\t%s\n", protocol.name.c_str(), impairment.id.c_str(), impairment.label.c_str());
        return 0;
    }
    if (plan.empty())
        return usage("no cell matches");

    const auto started = std::chrono::steady_clock::now();
    std::vector<MatrixCell> cells;
    for (std::size_t i = 0; i < plan.size(); ++i) {
        const auto& [protocol, impairment] = plan[i];
        std::printf("[%zu/%zu] %s, %s ...\n", i + 1, plan.size(), protocol.name.c_str(), impairment.label.c_str());
        std::fflush(stdout);
        MatrixCell cell = protocol.play(impairment);
        if (!cell.played) {
            std::printf("    not played (%.1f s): %s\n", cell.seconds, cell.failure.c_str());
        } else {
            std::printf("    %.1f s:", cell.seconds);
            for (const MatrixFigure& f : cell.figures)
                std::printf(" %s %s;", f.name().c_str(), f.cellText().c_str());
            std::printf("\n    relay: %s\n", cell.relayCounts.c_str());
            if (!cell.notes.empty())
                std::printf("    note: %s\n", cell.notes.c_str());
        }
        std::fflush(stdout);
        cells.push_back(std::move(cell));
    }

    MatrixReport report(std::move(cells), MatrixReport::thisMachine());
    report.setRunSeconds(std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count());
    mkdir(outDir.c_str(), 0755);
    int status = 0;
    for (const auto& [name, text] : {std::pair<std::string, std::string> {"MATRIX.md", report.markdown()},
                                     std::pair<std::string, std::string> {"matrix.json", report.json()}}) {
        const std::string problem = MatrixReport::write(outDir + "/" + name, text);
        if (!problem.empty()) {
            std::fprintf(stderr, "%s\n", problem.c_str());
            status = 1;
        }
    }
    // The chart's fonts need a GUI application; no display is needed.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    const std::string chartProblem = MatrixChart(report.cells()).save(outDir + "/matrix.png");
    if (!chartProblem.empty()) {
        std::fprintf(stderr, "%s\n", chartProblem.c_str());
        status = 1;
    }
    std::printf("\n%s\nmake matrix: %.0f s; wrote %s/MATRIX.md, %s/matrix.json, %s/matrix.png\n",
                report.summary().c_str(), std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count(),
                outDir.c_str(), outDir.c_str(), outDir.c_str());
    for (const MatrixCell& cell : report.cells()) {
        if (!cell.allWithinTolerance())
            status = status ? status : 1;
    }
    return status;
}

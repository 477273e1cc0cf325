// Reads the program's arguments as the program does, without playing anything:
// the option parser of core, Qt's "-platform NAME" taken off as QApplication
// takes it, then the check of what is left (URL and LOGFILE). The deploy tests
// run every container's and unit's arguments through it.
//
// Usage: zephyrscope_check_arguments ARGUMENT...   (the program's arguments, not argument 0)
// Prints one line: "ok: ..." with what was understood, status 0; or the
// program's own usage error, status 64.

#include "CommandLine.h"
#include "ExitStatus.h"
#include "ProgramOptions.h"

#include <cstdio>
#include <string>
#include <vector>

int main(int argc, char* argv[])
{
    std::vector<std::string> argvCopy {"zephyrscope"};
    argvCopy.insert(argvCopy.end(), argv + 1, argv + argc);
    const zephyrscope::ProgramOptions options = zephyrscope::ParseProgramOptions(argvCopy);
    if (!options.error.empty()) {
        std::printf("error: %s\n", options.error.c_str());
        return zephyrscope::kExitUsage;
    }
    // QApplication takes "-platform NAME" out before the program counts URL and LOGFILE.
    std::vector<std::string> rest;
    const std::size_t literalStart = options.arguments.size() - options.literalCount;
    for (std::size_t i = 0; i < options.arguments.size(); ++i) {
        if (i < literalStart && options.arguments[i] == "-platform" && i + 1 < literalStart) {
            ++i;
            continue;
        }
        rest.push_back(options.arguments[i]);
    }
    if (const std::string problem = zephyrscope::CommandLineProblem(rest, options.literalCount); !problem.empty()) {
        std::printf("error: %s\n", problem.c_str());
        return zephyrscope::kExitUsage;
    }
    const zephyrscope::CommandLineDecision decision = zephyrscope::DecideCommandLine(rest);
    if (!decision.url) {
        std::printf("error: no URL: a probe would wait for one forever\n");
        return zephyrscope::kExitUsage;
    }
    std::printf("ok: url=%s", decision.url->c_str());
    if (options.monitor)
        std::printf(" monitor");
    if (!options.channel.empty())
        std::printf(" channel=%s", options.channel.c_str());
    if (decision.logFileName)
        std::printf(" log=%s", decision.logFileName->c_str());
    if (options.metrics)
        std::printf(" metrics=%s", zephyrscope::FormatMetricsAddress(*options.metrics).c_str());
    if (!options.jsonLog.empty())
        std::printf(" json-log=%s", options.jsonLog.c_str());
    std::printf("\n");
    return 0;
}

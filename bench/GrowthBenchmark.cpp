// Memory and descriptors of a long unattended run: the program plays an M3U
// that repeats one short clip, and /proc/PID/status (VmRSS) and /proc/PID/fd are
// read at the given minutes; then the run is ended with SIGTERM.
//
// bench_growth --program PATH --clip CLIP --work DIR [--minutes 1,5,10]
#include "ChildProcess.h"
#include "LogReader.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

using namespace zephyrscope::bench;
using namespace zephyrscope::report;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

constexpr double kTargetRssGrowthMb = 2.0;
constexpr double kEntrySecondsAtLeast = 4.0; // the clip bench.sh makes lasts 5 s
constexpr double kSpareSeconds = 60.0;       // the list outlasts the last reading by this

std::vector<double> parseMinutes(const std::string& text)
{
    std::vector<double> minutes;
    std::istringstream in(text);
    std::string item;
    while (std::getline(in, item, ','))
        minutes.push_back(std::stod(item));
    if (minutes.size() < 2)
        throw std::runtime_error("Cannot use minutes '" + text + "': give at least two readings");
    return minutes;
}

} // namespace

int main(int argc, char** argv)
try {
    std::string program, clip, minutesText = "1,5,10";
    fs::path work;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string key = argv[i];
        if (key == "--program")
            program = fs::absolute(argv[i + 1]).string();
        else if (key == "--clip")
            clip = fs::absolute(argv[i + 1]).string();
        else if (key == "--work")
            work = fs::absolute(argv[i + 1]);
        else if (key == "--minutes")
            minutesText = argv[i + 1];
        else
            throw std::runtime_error("Cannot use option '" + key + "': unknown");
    }
    if (program.empty() || clip.empty() || work.empty())
        throw std::runtime_error("Cannot run: --program, --clip and --work are all needed");
    const std::vector<double> minutes = parseMinutes(minutesText);

    fs::create_directories(work);
    const int entries = static_cast<int>(std::ceil((minutes.back() * 60.0 + kSpareSeconds) / kEntrySecondsAtLeast));
    const fs::path list = work / "loop.m3u";
    {
        std::ofstream out(list);
        out << "#EXTM3U\n";
        for (int i = 0; i < entries; ++i)
            out << clip << '\n';
    }
    const fs::path log = work / "growth.dat";
    fs::remove(log);

    ChildProcess run({program, "-platform", "offscreen", list.string(), log.string()},
                     {"ZEPHYRSCOPE_FAKE_SINKS=1", "DISPLAY", "QT_QPA_PLATFORM"}, work, work / "program.out");
    std::vector<ProcessSnapshot> readings;
    for (double m : minutes) {
        const double at = m * 60.0;
        const auto left = std::chrono::milliseconds(static_cast<long>(std::max(0.0, at - run.elapsedSeconds()) * 1000));
        if (run.watchFor(left, 200ms)) {
            std::fprintf(stderr, "the program ended (status %d) before minute %g\n", run.exitStatus(), m);
            return 1;
        }
        readings.push_back(run.snapshot());
    }
    run.terminate();
    const StatisticsLog stats = LogReader::fromFile(log.string());

    // Entries that failed (an open that timed out, say) are what a shortfall in
    // entries opened comes from, and an entry opened a second time costs seconds;
    // the program names each on its error output.
    int failed = 0, reopened = 0;
    std::string firstFailure;
    {
        std::ifstream output(work / "program.out");
        for (std::string line; std::getline(output, line);) {
            if (line.find("opening it again") != std::string::npos)
                ++reopened;
            if (line.rfind("Cannot play '", 0) != 0)
                continue;
            if (failed++ == 0)
                firstFailure = line;
        }
    }

    std::printf("Growth: program offscreen on a %d-entry M3U of one 5 s clip; %zu entries opened, %d failed, "
                "%d opened a second time, %zu samples, ended by SIGTERM (status %d)\n",
                entries, stats.media.size(), failed, reopened, stats.samples.size(), run.exitStatus());
    if (failed > 0)
        std::printf("  first failure: %s\n", firstFailure.c_str());
    for (std::size_t i = 0; i < readings.size(); ++i)
        std::printf("  minute %4.1f: VmRSS %.1f MB, open descriptors %d, CPU so far %.1f s\n", minutes[i],
                    static_cast<double>(readings[i].rssKb) / 1024.0, readings[i].openFds, readings[i].cpuSeconds);
    const double growthMb = static_cast<double>(readings.back().rssKb - readings.front().rssKb) / 1024.0;
    const int fdGrowth = readings.back().openFds - readings.front().openFds;
    std::printf("  minute %g to %g: RSS %+.1f MB   [target <= +%.0f MB: %s]; descriptors %+d   [target +0: %s]\n",
                minutes.front(), minutes.back(), growthMb, kTargetRssGrowthMb,
                growthMb <= kTargetRssGrowthMb ? "met" : "MISSED", fdGrowth, fdGrowth <= 0 ? "met" : "MISSED");
    return 0;
} catch (const std::exception& e) {
    std::fprintf(stderr, "bench_growth: %s\n", e.what());
    return 1;
}

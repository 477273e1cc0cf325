// The program run as a user runs it unattended, against the engine alone.
//
// bench_program_run --program PATH --clip CLIP --work DIR
//
// 1. Runs `PATH -platform offscreen CLIP run.dat` (ZEPHYRSCOPE_FAKE_SINKS=1, no
//    DISPLAY) to its own end, reading /proc every 100 ms, and reaps it with wait4.
//    Tick timing: the gaps between consecutive sample lines' UTCTime.
//    Footprint: CPU (user + system) and peak RSS. The run ends with the 15 s
//    countdown, in which nothing plays; the CPU of the playing period is the
//    /proc reading taken just after the last sample's tick period (the entry
//    ended within it), and the countdown's own CPU is reported apart.
// 2. Runs `gst-launch-1.0 playbin3` on the same clip with the same fake sinks and
//    reaps it with wait4: the engine alone.
#include "ChildProcess.h"
#include "LogReader.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <string>
#include <vector>

using namespace zephyrscope::bench;
using namespace zephyrscope::report;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

constexpr double kSamplePeriodS = 0.5;
constexpr double kTargetGapP99Ms = 5.0;
constexpr double kTargetCpuRatio = 1.05;
constexpr double kTargetExtraRssMb = 40.0;

double percentile(std::vector<double> values, double fraction)
{
    if (values.empty())
        return 0.0;
    std::sort(values.begin(), values.end());
    // Nearest rank: the smallest value with at least this fraction at or below it.
    const auto rank = static_cast<std::size_t>(std::ceil(fraction * static_cast<double>(values.size())));
    return values[std::min(values.size() - 1, rank == 0 ? 0 : rank - 1)];
}

const char* verdict(bool met)
{
    return met ? "met" : "MISSED";
}

struct Options {
    std::string program, clip;
    fs::path work;
};

Options parse(int argc, char** argv)
{
    Options o;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string key = argv[i];
        if (key == "--program")
            o.program = fs::absolute(argv[i + 1]).string();
        else if (key == "--clip")
            o.clip = fs::absolute(argv[i + 1]).string();
        else if (key == "--work")
            o.work = fs::absolute(argv[i + 1]);
        else
            throw std::runtime_error("Cannot use option '" + key + "': unknown");
    }
    if (o.program.empty() || o.clip.empty() || o.work.empty())
        throw std::runtime_error("Cannot run: --program, --clip and --work are all needed");
    return o;
}

} // namespace

int main(int argc, char** argv)
try {
    const Options options = parse(argc, argv);
    fs::create_directories(options.work);
    const fs::path log = options.work / "run.dat";
    fs::remove(log);

    // ---- The program -------------------------------------------------------
    std::vector<ProcessSnapshot> snapshots;
    ChildProcess program({options.program, "-platform", "offscreen", options.clip, log.string()},
                         {"ZEPHYRSCOPE_FAKE_SINKS=1", "DISPLAY", "QT_QPA_PLATFORM"}, options.work,
                         options.work / "program.out");
    const auto wallStart = std::chrono::system_clock::now();
    const bool ended = program.wait(240s, 100ms, [&](const ProcessSnapshot& s) { snapshots.push_back(s); });
    if (!ended) {
        std::fprintf(stderr, "the program did not end by itself within 240 s\n");
        return 1;
    }
    const StatisticsLog stats = LogReader::fromFile(log.string());
    if (stats.samples.size() < 10 || !stats.problems.empty()) {
        std::fprintf(stderr, "the program's log %s holds %zu samples and %zu malformed lines\n", log.c_str(),
                     stats.samples.size(), stats.problems.size());
        return 1;
    }

    std::vector<double> deviationsMs;
    std::size_t playing = 0;
    for (std::size_t i = 1; i < stats.samples.size(); ++i)
        deviationsMs.push_back(std::fabs((stats.samples[i].utc() - stats.samples[i - 1].utc()) * 1000.0 - 500.0));
    for (const auto& s : stats.samples)
        playing += s.isPlaying();
    const double medianMs = percentile(deviationsMs, 0.5);
    const double p99Ms = percentile(deviationsMs, 0.99);
    const double maxMs = *std::max_element(deviationsMs.begin(), deviationsMs.end());

    // The end of play, on the child's own clock: the last sample, plus the tick period in which the entry ended.
    const double startUtc = std::chrono::duration<double>(wallStart.time_since_epoch()).count();
    const double playEndS = stats.samples.back().utc() - startUtc + kSamplePeriodS;
    ProcessSnapshot atPlayEnd;
    for (const auto& s : snapshots) {
        atPlayEnd = s;
        if (s.wallSeconds >= playEndS)
            break;
    }
    const double programCpu = program.usageCpuSeconds();
    const double programPlayCpu = atPlayEnd.cpuSeconds;
    const double programPeakMb = program.usagePeakRssMb();

    // ---- The engine alone --------------------------------------------------
    const std::string uri = "uri=file://" + options.clip;
    ChildProcess engine({"gst-launch-1.0", "-q", "playbin3", uri,
                         "video-sink=fakesink sync=true qos=true max-lateness=20000000 enable-last-sample=false",
                         "audio-sink=fakesink sync=true enable-last-sample=false"},
                        {"DISPLAY"}, options.work, options.work / "engine.out");
    if (!engine.wait(240s, 100ms) || engine.exitStatus() != 0) {
        std::fprintf(stderr, "gst-launch-1.0 failed (status %d); see %s\n", engine.exitStatus(),
                     (options.work / "engine.out").c_str());
        return 1;
    }
    const double engineCpu = engine.usageCpuSeconds();
    const double enginePeakMb = engine.usagePeakRssMb();
    const double engineWall = engine.elapsedSeconds();

    const double ratio = programPlayCpu / engineCpu;
    const double extraMb = programPeakMb - enginePeakMb;
    std::printf("Tick timing: program offscreen, %zu sample lines (%zu Playing), exit status %d\n",
                stats.samples.size(), playing, program.exitStatus());
    std::printf("  |gap - 500 ms| over %zu gaps: median %.1f ms, p99 %.1f ms, max %.1f ms"
                "   [target p99 <= %.0f ms: %s]\n",
                deviationsMs.size(), medianMs, p99Ms, maxMs, kTargetGapP99Ms, verdict(p99Ms <= kTargetGapP99Ms));
    std::printf("Footprint, same clip, same fake sinks:\n");
    std::printf("  program    playing period %.1f s: CPU %.2f s (whole run %.1f s: %.2f s, countdown %.2f s), "
                "peak RSS %.1f MB\n",
                atPlayEnd.wallSeconds, programPlayCpu, program.elapsedSeconds(), programCpu,
                programCpu - programPlayCpu, programPeakMb);
    std::printf("  engine     gst-launch-1.0 playbin3 %.1f s: CPU %.2f s, peak RSS %.1f MB\n", engineWall, engineCpu,
                enginePeakMb);
    std::printf("  CPU ratio %.3f   [target <= %.2f: %s]\n", ratio, kTargetCpuRatio, verdict(ratio <= kTargetCpuRatio));
    std::printf("  peak RSS  +%.1f MB   [target <= +%.0f MB: %s]\n", extraMb, kTargetExtraRssMb,
                verdict(extraMb <= kTargetExtraRssMb));
    return 0;
} catch (const std::exception& e) {
    std::fprintf(stderr, "bench_program_run: %s\n", e.what());
    return 1;
}

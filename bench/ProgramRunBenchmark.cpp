// The program run as a user runs it unattended, against the engine alone.
//
// bench_program_run --program PATH --clip CLIP --work DIR [--rounds N] [--json-log-rounds N]
//
// Two rounds by default (--rounds N), each the program and then the engine:
// 1. Runs `PATH -platform offscreen CLIP runN.dat` (ZEPHYRSCOPE_FAKE_SINKS=1, no
//    DISPLAY) to its own end, reading /proc every 100 ms, and reaps it with wait4.
//    Tick timing: the gaps between consecutive sample lines' UTCTime.
//    Footprint: CPU (user + system) and peak RSS. The run ends with the 15 s
//    countdown, in which nothing plays; the CPU of the playing period is the
//    /proc reading taken just after the last sample's tick period (the entry
//    ended within it), and the countdown's own CPU is reported apart.
// 2. Runs `gst-launch-1.0 playbin3` on the same clip with the same fake sinks and
//    reaps it with wait4: the engine alone.
// 3. With --json-log-rounds N (instead of 1 and 2): N rounds of the program as in
//    1, without and then with --json-log, and the CPU of their playing periods
//    compared: what writing the JSON Lines log costs.
#include "ChildProcess.h"
#include "EngineSinks.h"
#include "LogReader.h"
#include "Percentile.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <fstream>
#include <iterator>
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
constexpr double kTargetJsonLogRatio = 1.02;

const char* verdict(bool met)
{
    return met ? "met" : "MISSED";
}

struct Options {
    std::string program, clip;
    fs::path work;
    int rounds = 2;
    int jsonLogRounds = 0;
};

struct ProgramRun {
    int exitStatus = -1;
    std::size_t samples = 0, playing = 0;
    std::vector<double> deviationsMs; // |gap - 500 ms| between consecutive sample lines
    double playSeconds = 0.0, playCpu = 0.0; // start to the end of play
    double wholeSeconds = 0.0, wholeCpu = 0.0;
    double peakMb = 0.0;
};

struct EngineRun {
    double seconds = 0.0, cpu = 0.0, peakMb = 0.0;
};

// jsonLog: with --json-log beside the log.
ProgramRun runProgram(const Options& options, int round, bool jsonLog = false)
{
    const std::string name = (jsonLog ? "json" : "run") + std::to_string(round);
    const fs::path log = options.work / (name + ".dat");
    const fs::path jsonLines = options.work / (name + ".jsonl");
    fs::remove(log);
    fs::remove(jsonLines);
    std::vector<std::string> argv {options.program, "-platform", "offscreen"};
    if (jsonLog)
        argv.push_back("--json-log=" + jsonLines.string());
    argv.insert(argv.end(), {options.clip, log.string()});
    std::vector<ProcessSnapshot> snapshots;
    ChildProcess program(argv,
                         {"ZEPHYRSCOPE_FAKE_SINKS=1", "DISPLAY", "QT_QPA_PLATFORM"}, options.work,
                         options.work / (name + ".out"));
    const auto wallStart = std::chrono::system_clock::now();
    if (!program.wait(240s, 100ms, [&](const ProcessSnapshot& s) { snapshots.push_back(s); }))
        throw std::runtime_error("the program did not end by itself within 240 s");
    const StatisticsLog stats = LogReader::fromFile(log.string());
    if (stats.samples.size() < 10 || !stats.problems.empty())
        throw std::runtime_error("the program's log " + log.string() + " holds " + std::to_string(stats.samples.size())
                                 + " samples and " + std::to_string(stats.problems.size()) + " malformed lines");
    ProgramRun run;
    run.exitStatus = program.exitStatus();
    run.samples = stats.samples.size();
    for (std::size_t i = 1; i < stats.samples.size(); ++i)
        run.deviationsMs.push_back(std::fabs((stats.samples[i].utc() - stats.samples[i - 1].utc()) * 1000.0 - 500.0));
    for (const auto& s : stats.samples)
        run.playing += s.isPlaying();

    // The end of play, on the child's own clock: the last sample, plus the tick period in which the entry ended.
    const double startUtc = std::chrono::duration<double>(wallStart.time_since_epoch()).count();
    const double playEndS = stats.samples.back().utc() - startUtc + kSamplePeriodS;
    ProcessSnapshot atPlayEnd;
    for (const auto& s : snapshots) {
        atPlayEnd = s;
        if (s.wallSeconds >= playEndS)
            break;
    }
    run.playSeconds = atPlayEnd.wallSeconds;
    run.playCpu = atPlayEnd.cpuSeconds;
    run.wholeSeconds = program.elapsedSeconds();
    run.wholeCpu = program.usageCpuSeconds();
    run.peakMb = program.usagePeakRssMb();
    return run;
}

EngineRun runEngine(const Options& options, int round)
{
    const std::string uri = "uri=file://" + options.clip;
    const fs::path output = options.work / ("engine" + std::to_string(round) + ".out");
    ChildProcess engine({"gst-launch-1.0", "-q", "playbin3", uri,
                         std::string("video-sink=") + kEngineVideoSink,
                         std::string("audio-sink=") + kEngineAudioSink},
                        {"DISPLAY"}, options.work, output);
    if (!engine.wait(240s, 100ms) || engine.exitStatus() != 0)
        throw std::runtime_error("gst-launch-1.0 failed (status " + std::to_string(engine.exitStatus()) + "); see "
                                 + output.string());
    return {engine.elapsedSeconds(), engine.usageCpuSeconds(), engine.usagePeakRssMb()};
}

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
        else if (key == "--rounds")
            o.rounds = std::max(1, std::atoi(argv[i + 1]));
        else if (key == "--json-log-rounds")
            o.jsonLogRounds = std::max(1, std::atoi(argv[i + 1]));
        else
            throw std::runtime_error("Cannot use option '" + key + "': unknown");
    }
    if (o.program.empty() || o.clip.empty() || o.work.empty())
        throw std::runtime_error("Cannot run: --program, --clip and --work are all needed");
    return o;
}

// The program without and with the JSON Lines log, in turn, so a change in the
// machine's load falls on both.
void compareJsonLog(const Options& options)
{
    double without = 0.0, with = 0.0;
    std::printf("JSON Lines log cost: program offscreen, %d rounds without and with --json-log\n",
                options.jsonLogRounds);
    for (int round = 1; round <= options.jsonLogRounds; ++round) {
        const ProgramRun plain = runProgram(options, round);
        const ProgramRun json = runProgram(options, round, true);
        std::ifstream written(options.work / ("json" + std::to_string(round) + ".jsonl"));
        const auto lines = std::count(std::istreambuf_iterator<char>(written), std::istreambuf_iterator<char>(), '\n');
        without += plain.playCpu;
        with += json.playCpu;
        std::printf("  round %d: playing period CPU %.2f s (%.1f s) without, %.2f s (%.1f s) with (%ld JSON lines); "
                    "ratio %.3f\n",
                    round, plain.playCpu, plain.playSeconds, json.playCpu, json.playSeconds, static_cast<long>(lines),
                    json.playCpu / plain.playCpu);
    }
    const double ratio = with / without;
    std::printf("  all rounds: CPU %.2f s without, %.2f s with: ratio %.3f   [target <= %.2f: %s]\n", without, with,
                ratio, kTargetJsonLogRatio, verdict(ratio <= kTargetJsonLogRatio));
}

} // namespace

int main(int argc, char** argv)
try {
    const Options options = parse(argc, argv);
    fs::create_directories(options.work);
    if (options.jsonLogRounds > 0) {
        compareJsonLog(options);
        return 0;
    }

    // Program and engine take turns, so a change in the machine's load falls on both.
    std::vector<ProgramRun> programs;
    std::vector<EngineRun> engines;
    for (int round = 1; round <= options.rounds; ++round) {
        programs.push_back(runProgram(options, round));
        engines.push_back(runEngine(options, round));
    }

    std::vector<double> allDeviations;
    std::printf("Tick timing: program offscreen, %d runs of the clip\n", options.rounds);
    for (std::size_t r = 0; r < programs.size(); ++r) {
        const ProgramRun& p = programs[r];
        allDeviations.insert(allDeviations.end(), p.deviationsMs.begin(), p.deviationsMs.end());
        std::printf("  run %zu: %zu sample lines (%zu Playing), exit status %d; |gap - 500 ms| over %zu gaps: "
                    "median %.1f ms, p99 %.1f ms, max %.1f ms\n",
                    r + 1, p.samples, p.playing, p.exitStatus, p.deviationsMs.size(), percentile(p.deviationsMs, 0.5),
                    percentile(p.deviationsMs, 0.99), *std::max_element(p.deviationsMs.begin(), p.deviationsMs.end()));
    }
    const double p99Ms = percentile(allDeviations, 0.99);
    std::printf("  all runs: |gap - 500 ms| over %zu gaps: median %.1f ms, p99 %.1f ms, max %.1f ms"
                "   [target p99 <= %.0f ms: %s]\n",
                allDeviations.size(), percentile(allDeviations, 0.5), p99Ms,
                *std::max_element(allDeviations.begin(), allDeviations.end()), kTargetGapP99Ms,
                verdict(p99Ms <= kTargetGapP99Ms));

    std::printf("Footprint, same clip, same fake sinks, program and engine in turn:\n");
    double programCpu = 0.0, engineCpu = 0.0, programPeak = 0.0, enginePeak = 0.0;
    for (std::size_t r = 0; r < programs.size(); ++r) {
        const ProgramRun& p = programs[r];
        const EngineRun& e = engines[r];
        programCpu += p.playCpu;
        engineCpu += e.cpu;
        programPeak = std::max(programPeak, p.peakMb);
        enginePeak = std::max(enginePeak, e.peakMb);
        std::printf("  run %zu: program playing period %.1f s: CPU %.2f s (whole run %.1f s: %.2f s, countdown %.2f s), "
                    "peak RSS %.1f MB; engine %.1f s: CPU %.2f s, peak RSS %.1f MB; ratio %.3f\n",
                    r + 1, p.playSeconds, p.playCpu, p.wholeSeconds, p.wholeCpu, p.wholeCpu - p.playCpu, p.peakMb,
                    e.seconds, e.cpu, e.peakMb, p.playCpu / e.cpu);
    }
    const double ratio = programCpu / engineCpu;
    const double extraMb = programPeak - enginePeak;
    std::printf("  all runs: program CPU %.2f s, engine (gst-launch-1.0 playbin3) CPU %.2f s: "
                "CPU ratio %.3f   [target <= %.2f: %s]\n",
                programCpu, engineCpu, ratio, kTargetCpuRatio, verdict(ratio <= kTargetCpuRatio));
    std::printf("  peak RSS: program %.1f MB, engine %.1f MB: +%.1f MB   [target <= +%.0f MB: %s]\n", programPeak,
                enginePeak, extraMb, kTargetExtraRssMb, verdict(extraMb <= kTargetExtraRssMb));
    return 0;
} catch (const std::exception& e) {
    std::fprintf(stderr, "bench_program_run: %s\n", e.what());
    return 1;
}

// CPU and peak memory of the program beside the engine alone and other players,
// all playing the same clip in real time to synced fake or null outputs.
//
// bench_peers --program PATH --clip CLIP --work DIR [--rounds N] [--before PATH]
//             [--only NAME,NAME...] [--variant 'NAME:VAR=VALUE,VAR=VALUE']...
//             [--launch 'NAME:gst-launch-1.0 description with CLIP_URI']...
//
// Tools (names for --only): engine (gst-launch-1.0 playbin3, the same fake sinks
// as the program's), program (unattended, offscreen, its 15 s countdown
// included, as users run it), before (a second build of the program, e.g. the
// previous release's), gst-play (gst-play-1.0, same sinks), mpv (--vo=null
// --ao=null) and ffmpeg (-re -f null). --variant adds the program run with more
// environment (to compare a setting); --launch adds a gst-launch-1.0 pipeline
// (to compare a hand-built engine). Rounds are interleaved: every tool once, in
// turn, then again, so a change in the machine's load falls on all alike.
// CPU is user + system from wait4's rusage of the child (which includes the
// children it waited for), peak RSS its ru_maxrss. Figures: the median of the
// rounds, and each tool's ratio to the engine's median. For program runs the
// log is read back too: the tick timing (p99 of |gap - 500 ms|) and the frames
// skipped, so a lighter run is seen to measure the same. "steady %" is the CPU
// from 4 s to 18 s after the start (from /proc, every 100 ms) in percent of one
// core: what playing costs once started, without start-up and countdown.
#include "BenchOptions.h"
#include "ChildProcess.h"
#include "EngineSinks.h"
#include "LogReader.h"
#include "Percentile.h"
#include "TickGaps.h"

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

constexpr double kGoalPeakMb = 110.0;
constexpr double kGoalTickP99Ms = 2.0;

struct Tool {
    std::string name;
    std::vector<std::string> argv;        // CLIP_URI, CLIP and LOG are replaced per run
    std::vector<std::string> environment; // as ChildProcess takes it
    bool isProgram = false;
};

// The steady part of a run: from after start-up to before the clip's end, where
// only playing costs (start-up, and the program's countdown, are fixed costs).
constexpr double kSteadyFromS = 4.0, kSteadyToS = 18.0;

struct Run {
    double cpu = 0.0, peakMb = 0.0, seconds = 0.0;
    double steadyPercent = 0.0; // CPU in percent of one core from kSteadyFromS to kSteadyToS
    double tickP99Ms = -1.0;   // program runs only
    int framesSkipped = -1;    // program runs only: Fr_Skipped of the last sample
};

struct Options {
    std::string program, before, clip;
    fs::path work;
    int rounds = 5;
    std::vector<std::string> only;
    std::vector<std::string> variants, launches;
};

// "NAME:rest" into its two parts.
std::pair<std::string, std::string> named(const std::string& text, const char* option)
{
    const auto colon = text.find(':');
    if (colon == std::string::npos || colon == 0)
        throw std::runtime_error(std::string("Cannot use ") + option + " '" + text + "': give NAME:...");
    return {text.substr(0, colon), text.substr(colon + 1)};
}

std::vector<std::string> programEnvironment()
{
    // No display: the program runs offscreen with fake sinks, as unattended on a server.
    return {"ZEPHYRSCOPE_FAKE_SINKS=1", "DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"};
}

std::vector<Tool> tools(const Options& o)
{
    std::vector<Tool> all;
    all.push_back({"engine",
                   {"gst-launch-1.0", "-q", "playbin3", "uri=CLIP_URI", std::string("video-sink=") + kEngineVideoSink,
                    std::string("audio-sink=") + kEngineAudioSink},
                   {"DISPLAY"}});
    all.push_back({"program", {o.program, "-platform", "offscreen", "CLIP", "LOG"}, programEnvironment(), true});
    if (!o.before.empty())
        all.push_back({"before", {o.before, "-platform", "offscreen", "CLIP", "LOG"}, programEnvironment(), true});
    all.push_back({"gst-play",
                   {"gst-play-1.0", "-q", "--no-interactive", std::string("--videosink=") + kEngineVideoSink,
                    std::string("--audiosink=") + kEngineAudioSink, "CLIP"},
                   {"DISPLAY"}});
    all.push_back({"mpv", {"mpv", "--no-config", "--really-quiet", "--vo=null", "--ao=null", "CLIP"}, {"DISPLAY"}});
    all.push_back({"ffmpeg",
                   {"ffmpeg", "-nostdin", "-hide_banner", "-loglevel", "error", "-re", "-i", "CLIP", "-f", "null", "-"},
                   {}});
    for (const auto& text : o.variants) {
        auto [name, settings] = named(text, "--variant");
        Tool variant {name, {o.program, "-platform", "offscreen", "CLIP", "LOG"}, programEnvironment(), true};
        for (const auto& setting : BenchOptions::split(settings, ','))
            variant.environment.push_back(setting);
        all.push_back(variant);
    }
    for (const auto& text : o.launches) {
        auto [name, description] = named(text, "--launch");
        // gst-launch-1.0 takes every argument as one word of the description.
        Tool launch {name, {"gst-launch-1.0", "-q"}, {"DISPLAY"}};
        for (const auto& word : BenchOptions::split(description, ' '))
            launch.argv.push_back(word);
        all.push_back(launch);
    }
    if (o.only.empty())
        return all;
    std::vector<Tool> chosen;
    for (const auto& tool : all) {
        if (std::find(o.only.begin(), o.only.end(), tool.name) != o.only.end())
            chosen.push_back(tool);
    }
    return chosen;
}

std::string replaced(std::string text, const std::string& from, const std::string& to)
{
    for (auto at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
    return text;
}

Run runOnce(const Tool& tool, const Options& o, int round)
{
    const std::string tag = tool.name + "-" + std::to_string(round);
    const fs::path log = o.work / (tag + ".dat");
    fs::remove(log);
    std::vector<std::string> argv;
    for (const auto& a : tool.argv)
        argv.push_back(replaced(replaced(replaced(a, "CLIP_URI", "file://" + o.clip), "CLIP", o.clip), "LOG",
                                log.string()));
    const fs::path output = o.work / (tag + ".out");
    ChildProcess child(argv, tool.environment, o.work, output);
    ProcessSnapshot from, to;
    const auto watch = [&](const ProcessSnapshot& s) {
        if (from.wallSeconds == 0.0 && s.wallSeconds >= kSteadyFromS)
            from = s;
        if (to.wallSeconds == 0.0 && s.wallSeconds >= kSteadyToS)
            to = s;
    };
    if (!child.wait(240s, 100ms, watch) || child.exitStatus() != 0)
        throw std::runtime_error("Cannot run " + tool.name + " '" + argv[0] + "': status "
                                 + std::to_string(child.exitStatus()) + ", see " + output.string());
    Run run {child.usageCpuSeconds(), child.usagePeakRssMb(), child.elapsedSeconds()};
    if (to.wallSeconds > from.wallSeconds && from.wallSeconds > 0.0)
        run.steadyPercent = (to.cpuSeconds - from.cpuSeconds) / (to.wallSeconds - from.wallSeconds) * 100.0;
    if (tool.isProgram) {
        const StatisticsLog stats = LogReader::fromFile(log.string());
        if (stats.samples.size() < 10 || !stats.problems.empty())
            throw std::runtime_error("Cannot read log '" + log.string() + "': " + std::to_string(stats.samples.size())
                                     + " samples, " + std::to_string(stats.problems.size()) + " malformed lines");
        run.tickP99Ms = percentile(tickDeviationsMs(stats), 0.99);
        run.framesSkipped = stats.samples.back().network.framesSkipped;
    }
    return run;
}

Options parse(int argc, char** argv)
{
    Options o;
    std::string work;
    BenchOptions()
        .path("--program", o.program)
        .path("--before", o.before)
        .path("--clip", o.clip)
        .path("--work", work)
        .number("--rounds", o.rounds, 1)
        .list("--only", o.only)
        .repeated("--variant", o.variants)
        .repeated("--launch", o.launches)
        .parse(argc, argv);
    o.work = work;
    if (o.program.empty() || o.clip.empty() || o.work.empty())
        throw std::runtime_error("Cannot run: --program, --clip and --work are all needed");
    return o;
}

double median(std::vector<double> values)
{
    return percentile(std::move(values), 0.5);
}

double medianOf(const std::vector<Run>& runs, double Run::*figure)
{
    std::vector<double> values;
    for (const auto& r : runs)
        values.push_back(r.*figure);
    return median(values);
}

} // namespace

int main(int argc, char** argv)
try {
    const Options options = parse(argc, argv);
    fs::create_directories(options.work);
    const std::vector<Tool> chosen = tools(options);
    if (chosen.empty())
        throw std::runtime_error("Cannot run: --only names no tool");

    std::vector<std::vector<Run>> runs(chosen.size());
    for (int round = 1; round <= options.rounds; ++round) {
        for (std::size_t t = 0; t < chosen.size(); ++t) {
            runs[t].push_back(runOnce(chosen[t], options, round));
            const Run& r = runs[t].back();
            std::fprintf(stderr, "round %d %-10s CPU %.2f s, peak RSS %.1f MB, %.1f s, steady %.1f %%\n", round,
                         chosen[t].name.c_str(), r.cpu, r.peakMb, r.seconds, r.steadyPercent);
        }
    }

    std::printf("Peers on %s, %d rounds interleaved; CPU = user + system (wait4), RSS = ru_maxrss\n",
                options.clip.c_str(), options.rounds);
    std::printf("%-10s | %-40s | %8s | %9s | %9s | %9s | %9s | %s\n", "tool", "CPU s by round", "CPU med", "RSS med",
                "CPU/eng", "RSS/eng", "steady %", "wall med; program: tick p99, Fr_Skipped");
    double engineCpu = 0.0, engineRss = 0.0;
    for (std::size_t t = 0; t < chosen.size(); ++t) {
        if (chosen[t].name == "engine") {
            engineCpu = medianOf(runs[t], &Run::cpu);
            engineRss = medianOf(runs[t], &Run::peakMb);
        }
    }
    double programCpu = -1.0, programRss = -1.0, ffmpegCpu = -1.0, worstTick = 0.0;
    int worstSkipped = 0;
    for (std::size_t t = 0; t < chosen.size(); ++t) {
        std::vector<double> cpu, rss, wall;
        std::string rounds;
        char text[64];
        for (const auto& r : runs[t]) {
            cpu.push_back(r.cpu);
            rss.push_back(r.peakMb);
            wall.push_back(r.seconds);
            std::snprintf(text, sizeof text, "%s%.2f", rounds.empty() ? "" : " / ", r.cpu);
            rounds += text;
        }
        const double cpuMedian = median(cpu), rssMedian = median(rss);
        std::string extra;
        std::snprintf(text, sizeof text, "%.1f s", median(wall));
        extra = text;
        if (chosen[t].isProgram) {
            std::vector<double> ticks;
            int skipped = 0;
            for (const auto& r : runs[t]) {
                ticks.push_back(r.tickP99Ms);
                skipped = std::max(skipped, r.framesSkipped);
            }
            const double tick = *std::max_element(ticks.begin(), ticks.end());
            std::snprintf(text, sizeof text, "; tick p99 <= %.1f ms, Fr_Skipped <= %d", tick, skipped);
            extra += text;
            if (chosen[t].name == "program") {
                programCpu = cpuMedian;
                programRss = rssMedian;
                worstTick = tick;
                worstSkipped = skipped;
            }
        }
        if (chosen[t].name == "ffmpeg")
            ffmpegCpu = cpuMedian;
        std::printf("%-10s | %-40s | %8.2f | %6.1f MB | %9.3f | %9.3f | %9.1f | %s\n", chosen[t].name.c_str(),
                    rounds.c_str(), cpuMedian, rssMedian, engineCpu > 0 ? cpuMedian / engineCpu : 0.0,
                    engineRss > 0 ? rssMedian / engineRss : 0.0, medianOf(runs[t], &Run::steadyPercent), extra.c_str());
    }
    if (programCpu >= 0 && ffmpegCpu > 0) {
        std::printf("Goal: program CPU %.2f s against ffmpeg's %.2f s (%+.1f %%) [%s]; peak RSS %.1f MB against %.0f MB "
                    "[%s]; tick p99 %.1f ms against %.0f ms [%s]; Fr_Skipped %d\n",
                    programCpu, ffmpegCpu, (programCpu / ffmpegCpu - 1.0) * 100.0,
                    programCpu <= ffmpegCpu ? "met" : "MISSED", programRss, kGoalPeakMb,
                    programRss <= kGoalPeakMb ? "met" : "MISSED", worstTick, kGoalTickP99Ms,
                    worstTick <= kGoalTickP99Ms ? "met" : "MISSED", worstSkipped);
    }
    return 0;
} catch (const std::exception& e) {
    std::fprintf(stderr, "bench_peers: %s\n", e.what());
    return 1;
}

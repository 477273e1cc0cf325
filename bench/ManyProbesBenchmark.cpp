// Many probes on one host: N unattended runs of the program at once, each
// playing its own live RTSP stream of the same clip from the RTSP test server on
// 127.0.0.1, for N = 1, 2, 4, 8 in turn.
//
// bench_many_probes --program PATH --server PATH --clip CLIP.mkv --work DIR
//                   [--counts 1,2,4,8] [--timeout-s 150] [--mode decoding|transport-only]
//                   [--settle-s 5] [--measure-s 8]
//
// CLIP is a Matroska H.264 file the server streams in real time (one pipeline per
// client). Every probe runs offscreen with fake sinks to its own end (the stream's
// end, then the 15 s countdown) and is reaped with wait4. Per N it prints the CPU
// (user + system) and peak RSS per probe (mean and the largest), the tick timing
// over all probes' logs (p99 of |gap - 500 ms|), and Fr_Skipped and Lost_Pkts at
// each probe's last sample, which show where the host stops keeping up, and the
// channels a core holds: the seconds each probe played (its Playing samples, half
// a second each) over the CPU seconds it took, the whole run's included (start,
// countdown), and while they play: wall over CPU seconds from --settle-s after
// the start for --measure-s, start-up and countdown left out, which is what a
// channel watched for days costs. --mode
// transport-only runs the probes with --transport-only (streams parsed, never
// decoded); decoding, the default, without. The
// server and every probe end with each N; a probe still running after the timeout
// is killed.
#include "BenchOptions.h"
#include "ChildProcess.h"
#include "LogReader.h"
#include "Percentile.h"
#include "RtspServerProcess.h"
#include "TickGaps.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

using namespace zephyrscope::bench;
using namespace zephyrscope::report;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

struct Options {
    std::string program, server, clip;
    fs::path work;
    std::vector<int> counts {1, 2, 4, 8};
    int timeoutS = 150;
    bool transportOnly = false;
    // The steady state: from settleS after the probes start, measureS long.
    int settleS = 5, measureS = 8;
};

constexpr double kSampleSeconds = 0.5;

struct Probe {
    double cpu = 0.0, peakMb = 0.0;
    int exitStatus = -1;
    std::size_t samples = 0, playing = 0;
    std::vector<double> deviationsMs;
    int framesSkipped = 0, lostPackets = 0;
    double meanFrameRate = 0.0; // over its Playing samples
    // Wall and CPU seconds over the steady-state stretch; 0 when it ended before.
    double steadyWall = 0.0, steadyCpu = 0.0;
};

std::vector<int> parseCounts(const std::string& text)
{
    std::vector<int> counts;
    for (const std::string& item : BenchOptions::split(text, ',')) {
        const int n = std::atoi(item.c_str());
        if (n < 1 || n > 64)
            throw std::runtime_error("Cannot use count '" + item + "': give 1 to 64 probes");
        counts.push_back(n);
    }
    if (counts.empty())
        throw std::runtime_error("Cannot use counts '" + text + "': none given");
    return counts;
}

Options parse(int argc, char** argv)
{
    Options o;
    std::string work;
    BenchOptions()
        .path("--program", o.program)
        .path("--server", o.server)
        .path("--clip", o.clip)
        .path("--work", work)
        .on("--counts", [&o](const std::string& value) { o.counts = parseCounts(value); })
        .number("--timeout-s", o.timeoutS, 30)
        .number("--settle-s", o.settleS, 1)
        .number("--measure-s", o.measureS, 1)
        .on("--mode",
            [&o](const std::string& value) {
                if (value != "decoding" && value != "transport-only")
                    throw std::runtime_error("Cannot use mode '" + value + "': give decoding or transport-only");
                o.transportOnly = value == "transport-only";
            })
        .parse(argc, argv);
    o.work = work;
    if (o.program.empty() || o.server.empty() || o.clip.empty() || o.work.empty())
        throw std::runtime_error("Cannot run: --program, --server, --clip and --work are all needed");
    if (!fs::is_regular_file(o.clip))
        throw std::runtime_error("Cannot read clip '" + o.clip + "': no such file");
    return o;
}

Probe readProbe(const ChildProcess& child, const fs::path& log)
{
    Probe probe;
    probe.cpu = child.usageCpuSeconds();
    probe.peakMb = child.usagePeakRssMb();
    probe.exitStatus = child.exitStatus();
    if (!fs::exists(log))
        return probe;
    const StatisticsLog stats = LogReader::fromFile(log.string());
    probe.samples = stats.samples.size();
    probe.deviationsMs = tickDeviationsMs(stats);
    double rateSum = 0.0;
    for (const LogSample& s : stats.samples) {
        if (s.isPlaying()) {
            ++probe.playing;
            rateSum += s.fps;
        }
    }
    if (probe.playing > 0)
        probe.meanFrameRate = rateSum / static_cast<double>(probe.playing);
    if (!stats.samples.empty()) {
        probe.framesSkipped = stats.samples.back().network.framesSkipped;
        probe.lostPackets = stats.samples.back().network.lostPackets;
    }
    return probe;
}

std::vector<Probe> runProbes(const Options& o, int count)
{
    zephyrscope::testing::RtspServerProcess server(o.server, {"--file", o.clip, "--timeout",
                                                              std::to_string(o.timeoutS + 30)});
    const fs::path folder = o.work / ("n" + std::to_string(count));
    fs::create_directories(folder);
    std::vector<std::unique_ptr<ChildProcess>> children;
    std::vector<fs::path> logs;
    for (int k = 1; k <= count; ++k) {
        logs.push_back(folder / ("probe" + std::to_string(k) + ".dat"));
        fs::remove(logs.back());
        std::vector<std::string> arguments {o.program, "-platform", "offscreen"};
        if (o.transportOnly)
            arguments.push_back("--transport-only");
        arguments.push_back(server.url("rtsp"));
        arguments.push_back(logs.back().string());
        children.push_back(std::make_unique<ChildProcess>(
            arguments,
            std::vector<std::string> {"ZEPHYRSCOPE_FAKE_SINKS=1", "DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"},
            folder, folder / ("probe" + std::to_string(k) + ".out")));
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(o.timeoutS);
    // The steady state, start-up and countdown left out: each probe's CPU over
    // measureS seconds while it plays.
    std::this_thread::sleep_for(std::chrono::seconds(o.settleS));
    std::vector<ProcessSnapshot> before;
    for (const auto& child : children)
        before.push_back(child->snapshot());
    std::this_thread::sleep_for(std::chrono::seconds(o.measureS));
    std::vector<ProcessSnapshot> after;
    for (const auto& child : children)
        after.push_back(child->snapshot());
    // All are reaped in turn; the deadline is shared, so the whole N is bounded.
    std::vector<Probe> probes;
    for (std::size_t k = 0; k < children.size(); ++k) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (!children[k]->wait(std::max(left, std::chrono::milliseconds(1)), 100ms))
            std::fprintf(stderr, "probe %zu of %d did not end within %d s and was killed\n", k + 1, count, o.timeoutS);
        probes.push_back(readProbe(*children[k], logs[k]));
        if (before[k].wallSeconds > 0.0 && after[k].wallSeconds > before[k].wallSeconds) {
            probes.back().steadyWall = after[k].wallSeconds - before[k].wallSeconds;
            probes.back().steadyCpu = after[k].cpuSeconds - before[k].cpuSeconds;
        }
    }
    server.finish();
    return probes;
}

} // namespace

int main(int argc, char** argv)
try {
    const Options options = parse(argc, argv);
    fs::create_directories(options.work);
    std::printf("Many probes%s: N unattended runs at once, each on its own live RTSP stream of %s from 127.0.0.1\n",
                options.transportOnly ? " (--transport-only)" : " (decoding)", options.clip.c_str());
    std::printf("%3s | %-22s | %-22s | %-26s | %-16s | %-14s | %-34s | %s\n", "N", "CPU s/probe mean (max)",
                "peak RSS/probe mean(max)", "tick |gap-500ms| p99 (max)", "Fr_Skipped total", "Lost_Pkts total",
                "Frame_Rate mean; probes ended well", "channels/core: whole run (played s / CPU s); playing (wall s / CPU s)");
    for (const int count : options.counts) {
        const std::vector<Probe> probes = runProbes(options, count);
        double cpu = 0.0, cpuMax = 0.0, rss = 0.0, rssMax = 0.0, rate = 0.0, played = 0.0;
        double steadyWall = 0.0, steadyCpu = 0.0;
        int skipped = 0, lost = 0, ended = 0;
        std::vector<double> deviations;
        for (const auto& p : probes) {
            cpu += p.cpu;
            cpuMax = std::max(cpuMax, p.cpu);
            rss += p.peakMb;
            rssMax = std::max(rssMax, p.peakMb);
            rate += p.meanFrameRate;
            played += static_cast<double>(p.playing) * kSampleSeconds;
            steadyWall += p.steadyWall;
            steadyCpu += p.steadyCpu;
            skipped += p.framesSkipped;
            lost += p.lostPackets;
            ended += p.exitStatus == 0 && p.playing > 0;
            deviations.insert(deviations.end(), p.deviationsMs.begin(), p.deviationsMs.end());
        }
        const double n = static_cast<double>(probes.size());
        std::printf("%3d | %8.2f (%8.2f)      | %7.1f MB (%7.1f MB) | %7.1f ms (%7.1f ms)       | %16d | %14d | %-34s | %.1f; %.1f\n",
                    count, cpu / n, cpuMax, rss / n, rssMax, percentile(deviations, 0.99),
                    deviations.empty() ? 0.0 : *std::max_element(deviations.begin(), deviations.end()), skipped, lost,
                    (std::to_string(rate / n).substr(0, std::to_string(rate / n).find('.') + 3) + "; "
                     + std::to_string(ended) + " of " + std::to_string(count)).c_str(),
                    cpu > 0.0 ? played / cpu : 0.0, steadyCpu > 0.0 ? steadyWall / steadyCpu : 0.0);
        std::fflush(stdout);
    }
    return 0;
} catch (const std::exception& e) {
    std::fprintf(stderr, "bench_many_probes: %s\n", e.what());
    return 1;
}

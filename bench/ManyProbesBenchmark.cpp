// Many probes on one host: N unattended runs of the program at once, each
// playing its own live stream of the same clip from 127.0.0.1, for N = 1, 2, 4,
// 8 in turn: by default over RTSP from the RTSP test server, with --source udp
// as MPEG-TS over UDP, one ffmpeg sender a probe (where the transport-stream
// analysis, TR 101 290 and the PCR jitter, runs).
//
// bench_many_probes --program PATH [--server PATH] --clip CLIP --work DIR
//                   [--counts 1,2,4,8] [--timeout-s 150] [--mode decoding|transport-only]
//                   [--settle-s 5] [--measure-s 8] [--source rtsp|udp]
//
// Over RTSP, CLIP is a Matroska H.264 file the server streams in real time (one
// pipeline per client), and every probe runs to its own end (the stream's end,
// then the 15 s countdown). Over UDP, CLIP is an MPEG-TS file ffmpeg sends in
// real time (-re, 1316-byte datagrams) from 1.5 s after the probes start, and
// each probe is stopped with SIGTERM a second after its sender ends. Every probe
// runs offscreen with fake sinks and is reaped with wait4. Per N it prints the CPU
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
// server or senders and every probe end with each N; a probe still running
// after the timeout is killed.
#include "BenchOptions.h"
#include "ChildProcess.h"
#include "LogReader.h"
#include "LoopbackSockets.h"
#include "Percentile.h"
#include "RtspServerProcess.h"
#include "TickGaps.h"

#include <algorithm>
#include <chrono>
#include <csignal>
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
    bool overUdp = false; // MPEG-TS over UDP from ffmpeg rather than RTSP from the server
    // The steady state: from settleS after the probes start, measureS long.
    int settleS = 5, measureS = 8;
};

constexpr double kSampleSeconds = 0.5;
// Over UDP, the senders start this long after the probes, so that each has its socket.
constexpr auto kSendDelay = 1500ms;

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
        .on("--source",
            [&o](const std::string& value) {
                if (value != "rtsp" && value != "udp")
                    throw std::runtime_error("Cannot use source '" + value + "': give rtsp or udp");
                o.overUdp = value == "udp";
            })
        .parse(argc, argv);
    o.work = work;
    if (o.program.empty() || (o.server.empty() && !o.overUdp) || o.clip.empty() || o.work.empty())
        throw std::runtime_error("Cannot run: --program, --clip, --work and, over RTSP, --server are all needed");
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

// Over UDP: one ffmpeg sending the clip in real time to each port.
std::vector<std::unique_ptr<ChildProcess>> startSenders(const Options& o, const std::vector<std::uint16_t>& ports,
                                                        const fs::path& folder)
{
    std::vector<std::unique_ptr<ChildProcess>> senders;
    for (std::size_t k = 0; k < ports.size(); ++k)
        senders.push_back(std::make_unique<ChildProcess>(
            std::vector<std::string> {"ffmpeg", "-nostdin", "-hide_banner", "-loglevel", "error", "-re", "-i", o.clip,
                                      "-c", "copy", "-f", "mpegts",
                                      "udp://127.0.0.1:" + std::to_string(ports[k]) + "?pkt_size=1316"},
            std::vector<std::string> {}, folder, folder / ("send" + std::to_string(k + 1) + ".out")));
    return senders;
}

// A live UDP stream has no end the probe could see: each is stopped a second
// after the senders have sent the whole clip.
void stopAfterSenders(std::vector<std::unique_ptr<ChildProcess>>& senders,
                      const std::vector<std::unique_ptr<ChildProcess>>& children,
                      std::chrono::steady_clock::time_point deadline)
{
    for (auto& sender : senders) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (!sender->wait(std::max(left, std::chrono::milliseconds(1)), 100ms))
            std::fprintf(stderr, "a sender did not end within the timeout and was killed\n");
    }
    std::this_thread::sleep_for(1s);
    for (const auto& child : children)
        ::kill(child->pid(), SIGTERM);
}

std::vector<Probe> runProbes(const Options& o, int count)
{
    std::unique_ptr<zephyrscope::testing::RtspServerProcess> server;
    if (!o.overUdp)
        server = std::make_unique<zephyrscope::testing::RtspServerProcess>(
            o.server, std::vector<std::string> {"--file", o.clip, "--timeout", std::to_string(o.timeoutS + 30)});
    const fs::path folder = o.work / ("n" + std::to_string(count));
    fs::create_directories(folder);
    std::vector<std::unique_ptr<ChildProcess>> children;
    std::vector<fs::path> logs;
    std::vector<std::uint16_t> ports;
    for (int k = 1; k <= count; ++k) {
        logs.push_back(folder / ("probe" + std::to_string(k) + ".dat"));
        fs::remove(logs.back());
        std::vector<std::string> arguments {o.program, "-platform", "offscreen"};
        if (o.transportOnly)
            arguments.push_back("--transport-only");
        if (o.overUdp) {
            ports.push_back(zephyrscope::tools::net::freeUdpPort("probe " + std::to_string(k)));
            arguments.push_back("udp://127.0.0.1:" + std::to_string(ports.back()));
        } else {
            arguments.push_back(server->url("rtsp"));
        }
        arguments.push_back(logs.back().string());
        children.push_back(std::make_unique<ChildProcess>(
            arguments,
            std::vector<std::string> {"ZEPHYRSCOPE_FAKE_SINKS=1", "DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"},
            folder, folder / ("probe" + std::to_string(k) + ".out")));
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(o.timeoutS);
    // The steady state, start-up and countdown left out: each probe's CPU over
    // measureS seconds while it plays.
    auto settle = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::seconds(o.settleS));
    std::vector<std::unique_ptr<ChildProcess>> senders;
    if (o.overUdp) {
        std::this_thread::sleep_for(kSendDelay);
        senders = startSenders(o, ports, folder);
        settle = std::max(settle - kSendDelay, std::chrono::milliseconds(0));
    }
    std::this_thread::sleep_for(settle);
    std::vector<ProcessSnapshot> before;
    for (const auto& child : children)
        before.push_back(child->snapshot());
    std::this_thread::sleep_for(std::chrono::seconds(o.measureS));
    std::vector<ProcessSnapshot> after;
    for (const auto& child : children)
        after.push_back(child->snapshot());
    if (o.overUdp)
        stopAfterSenders(senders, children, deadline);
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
    if (server)
        server->finish();
    return probes;
}

} // namespace

int main(int argc, char** argv)
try {
    const Options options = parse(argc, argv);
    fs::create_directories(options.work);
    std::printf("Many probes%s: N unattended runs at once, each on its own live %s stream of %s from 127.0.0.1\n",
                options.transportOnly ? " (--transport-only)" : " (decoding)",
                options.overUdp ? "MPEG-TS over UDP" : "RTSP", options.clip.c_str());
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
            // Over UDP each is stopped with SIGTERM, and ends with its status.
            ended += p.exitStatus == (options.overUdp ? 128 + SIGTERM : 0) && p.playing > 0;
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

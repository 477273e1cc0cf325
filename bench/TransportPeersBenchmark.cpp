// A transport-only probe beside what a user would run instead: the same live
// MPEG-TS over UDP, received in turn by
//   program  zephyrscope --transport-only (offscreen, fake sinks, as on a server)
//   ffmpeg   ffmpeg -i udp://... -c copy -f null -
//   bare     gst-launch-1.0 udpsrc ! tsdemux ! h264parse ! fakesink
//
// bench_transport_peers --program PATH --clip CLIP.ts --work DIR [--rounds N]
//                       [--only NAME,NAME...]
//
// Each run starts its receiver on a free port on 127.0.0.1, then, 1.5 s later,
// ffmpeg sends CLIP in real time (-re, 1316-byte datagrams). Rounds are
// interleaved (each receiver once, in turn), so a change in the machine's load
// falls on all alike. Figures, the median of the rounds:
//   steady %  CPU (user + system, from /proc every 100 ms) from 3 s after the
//             send starts to 2 s before it ends, in percent of one core: what
//             receiving costs, without start-up;
//   CPU s     the whole run's (wait4), from start to the stop 1 s after the send;
//   peak RSS  ru_maxrss.
// Receivers are stopped with SIGTERM, and SIGKILL when ffmpeg, blocked on a
// socket with nothing to read, has not ended 3 s later.
#include "BenchOptions.h"
#include "ChildProcess.h"
#include "LoopbackSockets.h"
#include "Percentile.h"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <vector>

using namespace zephyrscope::bench;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

struct Receiver {
    std::string name;
    std::vector<std::string> argv; // PORT and LOG are replaced per run
    std::vector<std::string> environment;
};

struct Run {
    double steadyPercent = 0.0, cpuSeconds = 0.0, peakMb = 0.0;
};

struct Options {
    std::string program, clip;
    fs::path work;
    int rounds = 3;
    std::vector<std::string> only;
};

constexpr auto kSendDelay = 1500ms;
constexpr double kSteadyAfterSendS = 3.0, kSteadyBeforeEndS = 2.0;

std::vector<Receiver> receivers(const Options& o)
{
    std::vector<Receiver> all {
        {"program",
         {o.program, "-platform", "offscreen", "--transport-only", "udp://127.0.0.1:PORT", "LOG"},
         {"ZEPHYRSCOPE_FAKE_SINKS=1", "DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}},
        {"ffmpeg",
         {"ffmpeg", "-nostdin", "-hide_banner", "-loglevel", "error", "-i",
          "udp://127.0.0.1:PORT?fifo_size=1000000&overrun_nonfatal=1", "-c", "copy", "-f", "null", "-"},
         {}},
        {"bare",
         {"gst-launch-1.0", "-q", "udpsrc", "port=PORT", "caps=video/mpegts,systemstream=true,packetsize=188", "!",
          "tsdemux", "!", "h264parse", "!", "fakesink"},
         {"DISPLAY"}},
    };
    if (o.only.empty())
        return all;
    std::vector<Receiver> chosen;
    for (const auto& r : all)
        if (std::find(o.only.begin(), o.only.end(), r.name) != o.only.end())
            chosen.push_back(r);
    return chosen;
}

std::string replaced(std::string text, const std::string& from, const std::string& to)
{
    for (auto at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
    return text;
}

Run runOnce(const Receiver& receiver, const Options& o, int round)
{
    const std::string tag = receiver.name + "-" + std::to_string(round);
    const std::string port = std::to_string(zephyrscope::tools::net::freeUdpPort("receiver"));
    std::vector<std::string> argv;
    for (const auto& a : receiver.argv)
        argv.push_back(replaced(replaced(a, "PORT", port), "LOG", (o.work / (tag + ".tsv")).string()));
    ChildProcess child(argv, receiver.environment, o.work, o.work / (tag + ".out"));
    if (child.watchFor(kSendDelay, 100ms))
        throw std::runtime_error(receiver.name + " ended before the stream came, see " + tag + ".out");

    ChildProcess sender({"ffmpeg", "-nostdin", "-hide_banner", "-loglevel", "error", "-re", "-i", o.clip, "-c",
                         "copy", "-f", "mpegts", "udp://127.0.0.1:" + port + "?pkt_size=1316"},
                        {}, o.work, o.work / (tag + "-send.out"));
    std::vector<ProcessSnapshot> seen;
    while (!sender.watchFor(100ms, 100ms))
        seen.push_back(child.snapshot());
    const double sendSeconds = sender.elapsedSeconds();
    if (sender.exitStatus() != 0)
        throw std::runtime_error("Cannot send '" + o.clip + "': ffmpeg ended with status "
                                 + std::to_string(sender.exitStatus()));
    if (child.watchFor(1s, 100ms))
        throw std::runtime_error(receiver.name + " ended while the stream came, see " + tag + ".out");
    ::kill(child.pid(), SIGTERM);
    child.wait(3s, 50ms);

    Run run {0.0, child.usageCpuSeconds(), child.usagePeakRssMb()};
    const double sendStarted = seen.empty() ? 0.0 : seen.front().wallSeconds;
    const ProcessSnapshot* from = nullptr;
    const ProcessSnapshot* to = nullptr;
    for (const auto& s : seen) {
        if (!from && s.wallSeconds >= sendStarted + kSteadyAfterSendS)
            from = &s;
        if (s.wallSeconds <= sendStarted + sendSeconds - kSteadyBeforeEndS)
            to = &s;
    }
    if (from && to && to->wallSeconds > from->wallSeconds)
        run.steadyPercent = (to->cpuSeconds - from->cpuSeconds) / (to->wallSeconds - from->wallSeconds) * 100.0;
    return run;
}

Options parse(int argc, char** argv)
{
    Options o;
    std::string work;
    BenchOptions()
        .path("--program", o.program)
        .path("--clip", o.clip)
        .path("--work", work)
        .number("--rounds", o.rounds, 1)
        .list("--only", o.only)
        .parse(argc, argv);
    o.work = work;
    if (o.program.empty() || o.clip.empty() || o.work.empty())
        throw std::runtime_error("Cannot run: --program, --clip and --work are all needed");
    return o;
}

double medianOf(const std::vector<Run>& runs, double Run::*figure)
{
    std::vector<double> values;
    for (const auto& r : runs)
        values.push_back(r.*figure);
    return percentile(std::move(values), 0.5);
}

} // namespace

int main(int argc, char** argv)
try {
    const Options options = parse(argc, argv);
    fs::create_directories(options.work);
    const std::vector<Receiver> chosen = receivers(options);
    if (chosen.empty())
        throw std::runtime_error("Cannot run: --only names no receiver");

    std::vector<std::vector<Run>> runs(chosen.size());
    for (int round = 1; round <= options.rounds; ++round) {
        for (std::size_t k = 0; k < chosen.size(); ++k) {
            const Run& r = runs[k].emplace_back(runOnce(chosen[k], options, round));
            std::fprintf(stderr, "round %d %-8s steady %.2f %%, CPU %.2f s, peak RSS %.1f MB\n", round,
                         chosen[k].name.c_str(), r.steadyPercent, r.cpuSeconds, r.peakMb);
        }
    }

    std::printf("Transport-only receivers of %s over UDP, %d rounds interleaved (medians)\n", options.clip.c_str(),
                options.rounds);
    std::printf("%-8s | %9s | %9s | %9s | %s\n", "receiver", "steady %", "CPU s", "peak RSS", "steady / ffmpeg's");
    double ffmpegSteady = 0.0;
    for (std::size_t k = 0; k < chosen.size(); ++k)
        if (chosen[k].name == "ffmpeg")
            ffmpegSteady = medianOf(runs[k], &Run::steadyPercent);
    double programSteady = -1.0;
    for (std::size_t k = 0; k < chosen.size(); ++k) {
        const double steady = medianOf(runs[k], &Run::steadyPercent);
        if (chosen[k].name == "program")
            programSteady = steady;
        std::printf("%-8s | %9.2f | %9.2f | %6.1f MB | %.2f\n", chosen[k].name.c_str(), steady,
                    medianOf(runs[k], &Run::cpuSeconds), medianOf(runs[k], &Run::peakMb),
                    ffmpegSteady > 0.0 ? steady / ffmpegSteady : 0.0);
    }
    if (programSteady >= 0.0 && ffmpegSteady > 0.0)
        std::printf("Goal: the program's steady CPU at or below ffmpeg's: %.2f %% against %.2f %% [%s]\n",
                    programSteady, ffmpegSteady, programSteady <= ffmpegSteady ? "met" : "MISSED");
    return 0;
} catch (const std::exception& e) {
    std::fprintf(stderr, "bench_transport_peers: %s\n", e.what());
    return 1;
}

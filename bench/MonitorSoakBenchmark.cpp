// Memory and descriptors of an always-on run through outages: the program
// watches a live RTSP stream with --monitor while the stream's server is killed
// and started again on its port every --outage-every seconds (down for
// --outage-seconds), for --minutes in all. VmRSS and the open descriptors are
// read from /proc every few seconds while the stream plays; the run is then
// ended with SIGTERM, and the JSON Lines log says how many outages it counted.
//
// bench_monitor_soak --program PATH --server PATH --work DIR [--minutes 60]
//                    [--outage-every 120] [--outage-seconds 5]
#include "BenchOptions.h"
#include "ChildProcess.h"
#include "RtspServerProcess.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

using namespace zephyrscope::bench;
using zephyrscope::testing::RtspServerProcess;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

constexpr double kTargetRssGrowthMb = 2.0;
// The first minute is the process's warm-up (GStreamer's registry, the first
// pipeline, the allocator's arenas); growth is measured from there.
constexpr double kWarmUpSeconds = 60.0;
// After the server comes back the probe waits out its back-off and opens the
// stream again; readings start once it surely plays.
constexpr double kSettleSeconds = 15.0;

struct Options {
    std::string program, server;
    fs::path work;
    int minutes = 60;
    int outageEverySeconds = 120;
    int outageSeconds = 5;
};

int countInFile(const fs::path& path, const std::string& needle)
{
    std::ifstream in(path);
    int count = 0;
    for (std::string line; std::getline(in, line);)
        count += line.find(needle) != std::string::npos;
    return count;
}

} // namespace

int main(int argc, char** argv)
try {
    Options o;
    BenchOptions()
        .path("--program", o.program)
        .path("--server", o.server)
        .on("--work", [&](const std::string& v) { o.work = fs::absolute(v); })
        .number("--minutes", o.minutes, 1)
        .number("--outage-every", o.outageEverySeconds, 10)
        .number("--outage-seconds", o.outageSeconds, 1)
        .parse(argc, argv);
    if (o.program.empty() || o.server.empty() || o.work.empty()) {
        std::fprintf(stderr, "usage: bench_monitor_soak --program PATH --server PATH --work DIR [--minutes 60] "
                             "[--outage-every 120] [--outage-seconds 5]\n");
        return 2;
    }
    fs::create_directories(o.work);
    const std::vector<std::string> serverArguments {"--seconds", std::to_string(o.minutes * 60 + 120), "--timeout",
                                                    std::to_string(o.minutes * 60 + 180)};
    auto server = std::make_unique<RtspServerProcess>(o.server, serverArguments);
    const int port = server->port();
    std::vector<std::string> restartArguments = serverArguments;
    restartArguments.insert(restartArguments.begin(), {"--port", std::to_string(port)});

    ChildProcess probe({o.program, "-platform", "offscreen", "--monitor", "--name=soak",
                        "--json-log=" + (o.work / "soak.jsonl").string(), "rtspt://127.0.0.1:" + std::to_string(port)
                            + "/clip",
                        (o.work / "soak.dat").string()},
                       {"ZEPHYRSCOPE_FAKE_SINKS=1", "DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}, o.work,
                       o.work / "soak.stderr");

    std::vector<ProcessSnapshot> readings; // taken while the stream is up
    double settledAt = 0.0;
    const auto watch = [&](const ProcessSnapshot& s) {
        if (s.rssKb > 0 && s.wallSeconds >= settledAt)
            readings.push_back(s);
    };
    const auto end = std::chrono::steady_clock::now() + std::chrono::minutes(o.minutes);
    int outages = 0;
    while (std::chrono::steady_clock::now() < end) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
        const auto up = std::min<std::chrono::milliseconds>(std::chrono::seconds(o.outageEverySeconds), left);
        if (probe.watchFor(up, 5s, watch)) {
            std::fprintf(stderr, "bench_monitor_soak: the probe ended by itself (status %d)\n", probe.exitStatus());
            return 1;
        }
        if (std::chrono::steady_clock::now() >= end)
            break;
        server->killAbruptly();
        server->finish();
        server.reset();
        ++outages;
        probe.watchFor(std::chrono::seconds(o.outageSeconds), 1s);
        server = std::make_unique<RtspServerProcess>(o.server, restartArguments);
        settledAt = probe.elapsedSeconds() + kSettleSeconds;
    }
    probe.terminate();
    server.reset();

    if (readings.empty()) {
        std::fprintf(stderr, "bench_monitor_soak: no reading was taken\n");
        return 1;
    }
    const auto warm = std::find_if(readings.begin(), readings.end(),
                                   [](const ProcessSnapshot& s) { return s.wallSeconds >= kWarmUpSeconds; });
    const ProcessSnapshot& base = warm != readings.end() ? *warm : readings.front();
    const ProcessSnapshot& last = readings.back();
    long maxRssKb = 0;
    int minFds = 1 << 30, maxFds = 0;
    for (auto it = warm != readings.end() ? warm : readings.begin(); it != readings.end(); ++it) {
        maxRssKb = std::max(maxRssKb, it->rssKb);
        minFds = std::min(minFds, it->openFds);
        maxFds = std::max(maxFds, it->openFds);
    }
    const double growthMb = static_cast<double>(maxRssKb - base.rssKb) / 1024.0;
    {
        // Every reading, for a look at where memory or descriptors moved.
        std::ofstream table(o.work / "readings.tsv");
        table << "seconds\trss_kb\tfds\n";
        for (const ProcessSnapshot& s : readings)
            table << s.wallSeconds << '\t' << s.rssKb << '\t' << s.openFds << '\n';
    }
    const fs::path json = o.work / "soak.jsonl";
    std::printf("monitor soak: %d min, an outage of %d s every %d s: %d caused, %d outage_ended in the JSON log\n",
                o.minutes, o.outageSeconds, o.outageEverySeconds, outages, countInFile(json, "\"outage_ended\""));
    std::printf("  RSS after %.0f s %.1f MB, at the end %.1f MB, highest %.1f MB: growth %.2f MB (target %.1f MB)\n",
                base.wallSeconds, base.rssKb / 1024.0, last.rssKb / 1024.0, maxRssKb / 1024.0, growthMb,
                kTargetRssGrowthMb);
    std::printf("  open descriptors while playing: %d to %d (%zu readings, in %s); exit status %d\n", minFds,
                maxFds, readings.size(), (o.work / "readings.tsv").c_str(), probe.exitStatus());
    return growthMb <= kTargetRssGrowthMb && minFds == maxFds ? 0 : 1;
} catch (const std::exception& e) {
    std::fprintf(stderr, "bench_monitor_soak: %s\n", e.what());
    return 2;
}

// Memory and descriptors of an always-on run through outages: the program
// watches a live RTSP stream with --monitor while the stream's server is killed
// and started again on its port every --outage-every seconds (down for
// --outage-seconds), for --minutes in all. VmRSS, the open descriptors and the
// threads are read from /proc every few seconds while the stream plays (its
// JSON Lines log, followed as it is written, says the channel is up); the run
// is then ended with SIGTERM, and the log says how many outages it counted,
// how far apart and how long.
//
// bench_monitor_soak --program PATH --server PATH --work DIR [--minutes 60]
//                    [--outage-every 120] [--outage-seconds 5]
#include "BenchOptions.h"
#include "ChildProcess.h"
#include "MonitorEvents.h"
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

// The smallest and largest of values, as "a to b"; "none" when empty.
template <typename T, typename Show>
std::string range(const std::vector<T>& values, Show show)
{
    if (values.empty())
        return "none";
    const auto [low, high] = std::minmax_element(values.begin(), values.end());
    return show(*low) + " to " + show(*high);
}

std::string seconds(double value)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.1f s", value);
    return text;
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

    const fs::path json = o.work / "soak.jsonl";
    MonitorEvents events(json);
    std::vector<ProcessSnapshot> readings; // taken while the stream is up
    double settledAt = 0.0;
    const auto watch = [&](const ProcessSnapshot& s) {
        events.update();
        if (s.rssKb > 0 && s.wallSeconds >= settledAt && events.up())
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
    long maxRssKb = 0, maxAnonKb = 0;
    std::vector<int> fds, otherFds, eventFds, threads;
    for (auto it = warm != readings.end() ? warm : readings.begin(); it != readings.end(); ++it) {
        maxRssKb = std::max(maxRssKb, it->rssKb);
        maxAnonKb = std::max(maxAnonKb, it->anonRssKb);
        fds.push_back(it->openFds);
        otherFds.push_back(it->openFds - it->eventFds);
        eventFds.push_back(it->eventFds);
        threads.push_back(it->threads);
    }
    const double growthMb = static_cast<double>(maxRssKb - base.rssKb) / 1024.0;
    {
        // Every reading, for a look at where memory or descriptors moved.
        std::ofstream table(o.work / "readings.tsv");
        table << "seconds\trss_kb\tanon_kb\tfds\teventfds\tthreads\n";
        for (const ProcessSnapshot& s : readings)
            table << s.wallSeconds << '\t' << s.rssKb << '\t' << s.anonRssKb << '\t' << s.openFds << '\t'
                  << s.eventFds << '\t' << s.threads << '\n';
    }
    events.update();
    std::vector<double> spacing, durations;
    for (std::size_t i = 1; i < events.startsMs().size(); ++i)
        spacing.push_back(static_cast<double>(events.startsMs()[i] - events.startsMs()[i - 1]) / 1000.0);
    for (const std::int64_t ms : events.durationsMs())
        durations.push_back(static_cast<double>(ms) / 1000.0);
    const auto count = [](int n) { return std::to_string(n); };
    std::printf("monitor soak: %d min, an outage of %d s every %d s: %d caused; the JSON log: %zu outage_started "
                "(%s apart), %zu outage_ended (%s long)\n",
                o.minutes, o.outageSeconds, o.outageEverySeconds, outages, events.startsMs().size(),
                range(spacing, seconds).c_str(), events.outagesEnded(), range(durations, seconds).c_str());
    std::printf("  RSS after %.0f s %.1f MB, at the end %.1f MB, highest %.1f MB: growth %.2f MB (target %.1f MB)\n",
                base.wallSeconds, base.rssKb / 1024.0, last.rssKb / 1024.0, maxRssKb / 1024.0, growthMb,
                kTargetRssGrowthMb);
    // The libraries' pages come and go with the page cache (read in as code is
    // first used, dropped under memory pressure): the process's own memory is
    // the anonymous part.
    std::printf("  of it anonymous: %.1f MB after %.0f s, at the end %.1f MB, highest %.1f MB: growth %.2f MB\n",
                base.anonRssKb / 1024.0, base.wallSeconds, last.anonRssKb / 1024.0, maxAnonKb / 1024.0,
                static_cast<double>(maxAnonKb - base.anonRssKb) / 1024.0);
    std::printf("  while playing: open descriptors %s, threads %s (%zu readings, in %s); exit status %d\n",
                range(fds, count).c_str(), range(threads, count).c_str(), readings.size(),
                (o.work / "readings.tsv").c_str(), probe.exitStatus());
    // rtspsrc reads its TCP connection through GIO with a cancellable, and GIO
    // opens an eventfd for each wait on the socket and closes it after the
    // wait (g_cancellable_make_pollfd, g_cancellable_release_fd): a reading
    // taken between two waits finds that one eventfd closed. So eventfds may
    // read one less now and then; a leak would take them further than that.
    const auto spread = [](const std::vector<int>& values) {
        return values.empty() ? -1 : *std::max_element(values.begin(), values.end())
                                         - *std::min_element(values.begin(), values.end());
    };
    const bool fdsConstant = spread(otherFds) == 0 && spread(eventFds) <= 1;
    std::printf("  descriptors other than eventfds %s; eventfds %s (one is open only while the RTSP connection is "
                "waited on): %s\n",
                range(otherFds, count).c_str(), range(eventFds, count).c_str(),
                fdsConstant ? "constant" : "NOT constant");
    return growthMb <= kTargetRssGrowthMb && fdsConstant ? 0 : 1;
} catch (const std::exception& e) {
    std::fprintf(stderr, "bench_monitor_soak: %s\n", e.what());
    return 2;
}

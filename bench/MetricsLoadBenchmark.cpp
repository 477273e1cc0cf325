// Does the metrics endpoint disturb the measurement? The sample tick as the
// program runs it (a Qt PreciseTimer on Qt's GLib event loop, the real sampler
// reading a CWMPPlayer4 that plays the clip, the line appended to a real log
// file, and the tick's values copied for the endpoint) in three modes, each on
// the clip played afresh:
//   off   no endpoint;
//   on    the libsoup endpoint listening on 127.0.0.1, nobody asking;
//   load  the endpoint under RATE requests/s from client threads in this process,
//         loopback only: nine in ten whole GET /metrics, one in ten sent in three
//         parts 50 ms apart, and every tenth of those left half-sent and held open
//         (at most 30 at a time) until the mode ends.
// Figures per mode: tick timing (|gap between tick starts - period|) median, p99
// and max; tick cost (the tick's own work) p50 and p99; the main thread's CPU per
// second (ticks, player events and serving); requests answered.
//
// bench_metrics --clip PATH --work DIR [--seconds S] [--period-ms P] [--rate R]
// The tick period defaults to the program's 500 ms; a shorter one gives more
// ticks for the p99 in the same time.
#include "CWMPPlayer4.h"
#include "EventRecorder.h"
#include "LogFile.h"
#include "MainLoopWait.h"
#include "MetricsFigures.h"
#include "MetricsServer.h"
#include "Percentile.h"
#include "PlayState.h"
#include "PlaybackValues.h"
#include "ProgramOptions.h"
#include "Sampler.h"
#include "SystemClock.h"
#include "TextDisplay.h"

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

using namespace zephyrscope;
using namespace zephyrscope::testing;
using namespace std::chrono_literals;
namespace fs = std::filesystem;
using Steady = std::chrono::steady_clock;

namespace {

constexpr double kTargetGapP99Ms = 5.0;
constexpr int kMaxHeldConnections = 30;
constexpr auto kSlowPartGap = 50ms;

struct Options {
    std::string clip;
    fs::path work;
    int seconds = 20;
    int periodMs = 500;
    int rate = 100;
};

class NullDisplay final : public TextDisplay {
public:
    void setText(const std::string&) override {}
};

double threadCpuSeconds()
{
    rusage usage{};
    ::getrusage(RUSAGE_THREAD, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec)
        + static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

int connectLoopback(int port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const timeval timeout{2, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

bool sendText(int fd, std::string_view text)
{
    return ::send(fd, text.data(), text.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(text.size());
}

// Reads to the end of a "Connection: close" answer; true when it was a 200.
bool readOk(int fd)
{
    std::string text;
    char buffer[4096];
    for (ssize_t n; (n = ::recv(fd, buffer, sizeof buffer, 0)) > 0;)
        text.append(buffer, static_cast<std::size_t>(n));
    return text.rfind("HTTP/1.1 200", 0) == 0;
}

// The clients of the load mode: run until stop is set; everything they opened is
// closed when they return.
struct Load {
    std::atomic<bool> stop{false};
    std::atomic<int> answered{0}, failed{0}, heldMax{0}, running{0};

    void wholeRequests(int port, int perSecond)
    {
        const auto period = std::chrono::microseconds(1000000 / std::max(1, perSecond));
        auto next = Steady::now();
        while (!stop) {
            const int fd = connectLoopback(port);
            const bool ok = fd >= 0
                && sendText(fd, "GET /metrics HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n") && readOk(fd);
            (ok ? answered : failed)++;
            if (fd >= 0)
                ::close(fd);
            next += period;
            std::this_thread::sleep_until(next);
        }
    }

    void slowRequests(int port, int perSecond)
    {
        const auto period = std::chrono::microseconds(1000000 / std::max(1, perSecond));
        std::vector<int> held;
        auto next = Steady::now();
        for (int i = 0; !stop; ++i) {
            const int fd = connectLoopback(port);
            if (fd < 0) {
                failed++;
            } else if (i % 10 == 9 && static_cast<int>(held.size()) < kMaxHeldConnections) {
                // Half a request, then nothing: the server must not wait on it.
                sendText(fd, "GET /metrics HTTP/1.1\r\nHo");
                held.push_back(fd);
                heldMax = std::max<int>(heldMax, static_cast<int>(held.size()));
            } else {
                bool ok = sendText(fd, "GET /metr");
                std::this_thread::sleep_for(kSlowPartGap);
                ok = ok && sendText(fd, "ics HTTP/1.1\r\nHost: 127.0.0.1\r\n");
                std::this_thread::sleep_for(kSlowPartGap);
                ok = ok && sendText(fd, "Connection: close\r\n\r\n") && readOk(fd);
                (ok ? answered : failed)++;
                ::close(fd);
            }
            next += period;
            std::this_thread::sleep_until(std::max(next, Steady::now()));
        }
        for (const int fd : held)
            ::close(fd);
    }
};

struct ModeResult {
    const char* name = "";
    std::vector<double> gapDeviationsMs, tickCostUs;
    double mainCpuPerSecond = 0.0;
    int notPlaying = 0, answered = 0, failed = 0, held = 0;
};

enum class Mode { Off, On, Load };

ModeResult runMode(const Options& options, Mode mode, CWMPPlayer4& player, EventRecorder& events)
{
    ModeResult result;
    result.name = mode == Mode::Off ? "off" : mode == Mode::On ? "on" : "load";

    MetricsFigures figures;
    std::unique_ptr<MetricsServer> server;
    if (mode != Mode::Off) {
        server = std::make_unique<MetricsServer>(figures);
        server->listen(MetricsAddress{"127.0.0.1", 0});
    }

    // The clip from its start, a second of steady play, then the ticks.
    const int playsBefore = events.count("play 3");
    player.putURL(options.clip);
    if (!RunMainLoopUntil([&] { return events.count("play 3") > playsBefore; }, 20s))
        throw std::runtime_error("the clip did not reach Playing");
    RunMainLoopFor(1s);

    SystemClock clock;
    LogFile log;
    log.create((options.work / (std::string(result.name) + ".dat")).string());
    NullDisplay fps;
    PlaybackValues values;
    values.m_playStartClock = clock.processClock();
    Sampler sampler(clock, player, log, fps, values);

    Load load;
    std::vector<std::thread> clients;
    if (mode == Mode::Load) {
        const int port = std::stoi(server->metricsUrl().substr(server->metricsUrl().rfind(':') + 1));
        const int slow = std::max(1, options.rate / 10);
        load.running = 2;
        clients.emplace_back([&load, port, rate = options.rate - slow] {
            load.wholeRequests(port, rate);
            load.running--;
        });
        clients.emplace_back([&load, port, slow] {
            load.slowRequests(port, slow);
            load.running--;
        });
    }

    QTimer timer;
    timer.setTimerType(Qt::PreciseTimer);
    timer.setInterval(options.periodMs);
    std::optional<Steady::time_point> lastStart;
    QObject::connect(&timer, &QTimer::timeout, [&] {
        const auto start = Steady::now();
        if (lastStart)
            result.gapDeviationsMs.push_back(
                std::fabs(std::chrono::duration<double, std::milli>(start - *lastStart).count() - options.periodMs));
        lastStart = start;
        sampler.OnTimer();
        if (server) {
            // What the dialog does for the endpoint each tick.
            figures.recordSample(sampler.lastSample());
        }
        result.tickCostUs.push_back(std::chrono::duration<double, std::micro>(Steady::now() - start).count());
        result.notPlaying += player.playState() != kPlayStatePlaying;
    });

    const double cpuBefore = threadCpuSeconds();
    QEventLoop loop;
    QTimer::singleShot(std::chrono::seconds(options.seconds), Qt::PreciseTimer, &loop, &QEventLoop::quit);
    timer.start();
    loop.exec();
    timer.stop();
    result.mainCpuPerSecond = (threadCpuSeconds() - cpuBefore) / options.seconds;

    // The loop serves on until the requests in flight are answered.
    load.stop = true;
    RunMainLoopUntil([&load] { return load.running == 0; }, 10s);
    for (std::thread& t : clients)
        t.join();
    result.answered = load.answered;
    result.failed = load.failed;
    result.held = load.heldMax;
    player.controls()->stop();
    RunMainLoopFor(200ms);
    return result;
}

Options parse(int argc, char** argv)
{
    Options o;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string key = argv[i];
        const std::string value = argv[i + 1];
        if (key == "--clip")
            o.clip = fs::absolute(value).string();
        else if (key == "--work")
            o.work = fs::absolute(value);
        else if (key == "--seconds")
            o.seconds = std::max(2, std::atoi(value.c_str()));
        else if (key == "--period-ms")
            o.periodMs = std::max(10, std::atoi(value.c_str()));
        else if (key == "--rate")
            o.rate = std::max(10, std::atoi(value.c_str()));
        else
            throw std::runtime_error("Cannot use option '" + key + "': unknown");
    }
    if (o.clip.empty() || o.work.empty())
        throw std::runtime_error("Cannot run: --clip and --work are both needed");
    return o;
}

} // namespace

int main(int argc, char** argv)
try {
    const Options options = parse(argc, argv);
    fs::create_directories(options.work);
    unsetenv("DISPLAY");
    QCoreApplication application(argc, argv);

    CWMPPlayer4 player;
    player.setFakeSinks(true);
    EventRecorder events;
    player.setEventSink(&events);

    std::printf("Metrics endpoint against the sample tick: %d s per mode, tick period %d ms, load %d requests/s "
                "(event dispatcher %s)\n",
                options.seconds, options.periodMs, options.rate,
                QAbstractEventDispatcher::instance()->metaObject()->className());
    std::vector<ModeResult> results;
    for (const Mode mode : {Mode::Off, Mode::On, Mode::Load})
        results.push_back(runMode(options, mode, player, events));
    player.setEventSink(nullptr);

    const double offCostP99 = percentile(results[0].tickCostUs, 0.99);
    for (const ModeResult& r : results) {
        const double gapP99 = percentile(r.gapDeviationsMs, 0.99);
        const double costP99 = percentile(r.tickCostUs, 0.99);
        std::printf("  %-4s %3zu ticks (%d not Playing): |gap - %d ms| median %.2f ms, p99 %.2f ms, max %.2f ms"
                    "   [target p99 <= %.0f ms: %s]\n"
                    "       tick cost p50 %.0f us, p99 %.0f us (%.2f x off); main thread CPU %.1f ms/s",
                    r.name, r.tickCostUs.size(), r.notPlaying, options.periodMs, percentile(r.gapDeviationsMs, 0.5),
                    gapP99, r.gapDeviationsMs.empty() ? 0.0 : *std::max_element(r.gapDeviationsMs.begin(),
                                                                                  r.gapDeviationsMs.end()),
                    kTargetGapP99Ms, gapP99 <= kTargetGapP99Ms ? "met" : "MISSED", percentile(r.tickCostUs, 0.5),
                    costP99, offCostP99 > 0 ? costP99 / offCostP99 : 0.0, r.mainCpuPerSecond * 1000.0);
        if (std::string(r.name) == "load")
            std::printf("; %d requests answered (%.0f/s), %d failed, %d half-sent held open at most",
                        r.answered, r.answered / static_cast<double>(options.seconds), r.failed, r.held);
        std::printf("\n");
    }
    return 0;
} catch (const std::exception& e) {
    std::fprintf(stderr, "bench_metrics: %s\n", e.what());
    return 1;
}

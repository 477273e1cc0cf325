// How long one scrape of the metrics endpoint takes while a flood of connections
// arrives. Each round opens FLOOD connections to the endpoint in one burst (non-
// blocking connects, nothing sent on them, held open), then at once times one
// whole scrape: connect, GET /metrics, the answer read to its end. A listen
// queue shorter than the burst drops the scrape's SYN and the kernel retries it
// a second later; that second is what this shows. Loopback only; each round
// closes what it opened, and the whole run is bounded by its rounds.
//
// bench_metrics_flood [--rounds R] [--flood N]...
// Default: 20 rounds for each of 0, 100, 500 and 1000 flooding connections (the
// open-file limit is raised to its hard limit for them).
#include "MetricsFigures.h"
#include "MetricsServer.h"
#include "Percentile.h"
#include "ProgramOptions.h"

#include <glib.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <future>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

using namespace zephyrscope;

namespace {

constexpr int kScrapeTimeoutMs = 10000;

// The endpoint on a main loop of its own thread, as the program's UI thread runs it.
class EndpointThread {
public:
    EndpointThread()
    {
        std::promise<int> bound;
        auto port = bound.get_future();
        m_thread = std::thread([this, &bound] {
            GMainContext* context = g_main_context_new();
            g_main_context_push_thread_default(context);
            {
                MetricsFigures figures;
                MetricsServer server(figures);
                try {
                    server.listen(MetricsAddress {"127.0.0.1", 0});
                    const std::string url = server.metricsUrl();
                    bound.set_value(std::stoi(url.substr(url.rfind(':') + 1)));
                } catch (...) {
                    bound.set_exception(std::current_exception());
                    g_main_context_pop_thread_default(context);
                    g_main_context_unref(context);
                    return;
                }
                while (!m_stop.load())
                    g_main_context_iteration(context, FALSE) || (g_usleep(200), true);
            }
            g_main_context_pop_thread_default(context);
            g_main_context_unref(context);
        });
        m_port = port.get();
    }
    ~EndpointThread()
    {
        m_stop = true;
        m_thread.join();
    }
    int port() const { return m_port; }

private:
    std::atomic<bool> m_stop {false};
    std::thread m_thread;
    int m_port = 0;
};

sockaddr_in loopback(int port)
{
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

// One whole scrape, in ms; negative when it failed or timed out.
double scrape(int port)
{
    const auto start = std::chrono::steady_clock::now();
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    timeval timeout {kScrapeTimeoutMs / 1000, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
    const sockaddr_in address = loopback(port);
    const char request[] = "GET /metrics HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n";
    bool ok = connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0
        && send(fd, request, sizeof request - 1, MSG_NOSIGNAL) == static_cast<ssize_t>(sizeof request - 1);
    std::string answer;
    char buffer[4096];
    for (ssize_t n = 0; ok && (n = recv(fd, buffer, sizeof buffer, 0)) != 0;) {
        if (n < 0)
            ok = false;
        else
            answer.append(buffer, static_cast<std::size_t>(n));
    }
    close(fd);
    if (!ok || answer.rfind("HTTP/1.1 200", 0) != 0)
        return -1;
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
}

// count non-blocking connects in one burst; the caller closes them.
std::vector<int> flood(int port, int count)
{
    std::vector<int> fds;
    const sockaddr_in address = loopback(port);
    for (int k = 0; k < count; ++k) {
        const int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (fd < 0)
            break;
        connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address);
        fds.push_back(fd);
    }
    return fds;
}

} // namespace

int main(int argc, char** argv)
{
    int rounds = 20;
    std::vector<int> floods;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string option = argv[i];
        if (option == "--rounds")
            rounds = std::atoi(argv[i + 1]);
        else if (option == "--flood")
            floods.push_back(std::atoi(argv[i + 1]));
        else {
            std::fprintf(stderr, "usage: bench_metrics_flood [--rounds R] [--flood N]...\n");
            return 64;
        }
    }
    if (floods.empty())
        floods = {0, 100, 500, 1000};
    rlimit limit {};
    getrlimit(RLIMIT_NOFILE, &limit);
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);

    try {
        EndpointThread endpoint;
        std::printf("flood  rounds  failed  scrape ms: median     p90     max\n");
        for (const int count : floods) {
            std::vector<double> times;
            int failed = 0;
            for (int round = 0; round < rounds; ++round) {
                std::vector<int> held = flood(endpoint.port(), count);
                const double ms = scrape(endpoint.port());
                for (const int fd : held)
                    close(fd);
                if (ms < 0)
                    ++failed;
                else
                    times.push_back(ms);
                g_usleep(100 * 1000); // the endpoint closes the flood's connections
            }
            std::printf("%5d  %6d  %6d  %16.2f  %6.2f  %6.2f\n", count, rounds, failed, percentile(times, 0.5),
                        percentile(times, 0.9), percentile(times, 1.0));
        }
    } catch (const std::exception& e) {
        std::fprintf(stderr, "Cannot run the flood: %s\n", e.what());
        return 1;
    }
    return 0;
}

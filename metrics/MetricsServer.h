#pragma once

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>

namespace zephyrscope {

struct MetricsAddress;
struct MetricsFigures;

// A listen that failed: "Cannot listen on '<address>': <reason>".
class MetricsError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Serves the figures over HTTP for Prometheus: GET (or HEAD) /metrics gives them
// in the text exposition format, GET / a one-line pointer there, other paths 404
// and other methods 405. The text is made from the figures at each request, so
// the sample tick pays nothing for it.
//
// Runs on the thread-default GLib main context at listen() (the program's main
// loop, which Qt's event dispatcher iterates), so requests are answered on the
// UI thread between ticks and events. figures must outlive the server.
//
// An always-on probe's port is open to whatever reaches it, and every connection
// holds a descriptor the player may need. So the server accepts its connections
// itself and keeps at most maxConnections open, never more than a quarter of the
// process's open-file limit: each connection past that closes the oldest one not
// in the middle of an answer. Connections beyond it wait in the kernel's queue,
// which costs no descriptor.
class MetricsServer {
public:
    explicit MetricsServer(const MetricsFigures& figures, int maxConnections = 64);
    ~MetricsServer();
    MetricsServer(const MetricsServer&) = delete;
    MetricsServer& operator=(const MetricsServer&) = delete;

    // Binds the address and starts serving. An empty host is every interface,
    // port 0 any free port. Throws MetricsError naming the address and the reason.
    void listen(const MetricsAddress& address);

    // Where the metrics are, with the port actually bound: "http://127.0.0.1:9464/metrics".
    const std::string& metricsUrl() const { return m_metricsUrl; }

    // A quarter of the soft RLIMIT_NOFILE (at least 1), or wanted if that is lower.
    static int ConnectionCap(int wanted);

private:
    struct Impl;
    std::unique_ptr<Impl> m_impl;
    std::string m_metricsUrl;
};

} // namespace zephyrscope

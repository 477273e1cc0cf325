#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace zephyrscope::testing {

// A small HTTP/1.1 file server on 127.0.0.1 and a free port, for tests, demos
// and benchmarks. Serves files under a root folder, with byte ranges. The query
// of a request shapes the answer:
//   rate=N          send at most N bytes per second
//   stallAfter=B    after B bytes of the body, stop sending ...
//   stallMs=T       ... for T ms (0 or absent: until the server stops)
//   stallEvery=B    stop sending for stallMs after every B bytes of the body
//                   (not after the last byte), as often as the body allows
//   dieAfter=B      close the connection after B bytes; later range requests get 500
//   status=C        answer with status C (e.g. 404, 500) and no body
// A missing file gives 404. Every connection runs on its own thread; stop()
// (or the destructor) ends them all promptly.
class HttpTestServer {
public:
    explicit HttpTestServer(std::filesystem::path root);
    ~HttpTestServer();
    HttpTestServer(const HttpTestServer&) = delete;
    HttpTestServer& operator=(const HttpTestServer&) = delete;

    // Binds and starts serving; throws std::runtime_error when it cannot.
    void start();
    void stop();

    std::uint16_t port() const { return m_port; }
    // "http://127.0.0.1:<port>/<pathAndQuery>"
    std::string url(const std::string& pathAndQuery) const;
    int requestCount() const { return m_requests.load(); }
    // Body bytes written to sockets so far, over all requests: what clients were really sent.
    long long bodyBytesSent() const { return m_bodyBytes.load(); }
    // Stalls begun so far (stallAfter or stallEvery), over all requests.
    int stallCount() const { return m_stalls.load(); }

private:
    void acceptLoop();
    void serve(int fd);
    bool sendAll(int fd, const char* data, std::size_t size);
    // Waits up to ms, or until stop; returns false when stopping.
    bool pause(int ms);
    // Waits until due, or until stop; returns false when stopping.
    bool pauseUntil(std::chrono::steady_clock::time_point due);

    std::filesystem::path m_root;
    int m_listenFd = -1;
    int m_wakeFd = -1;
    std::uint16_t m_port = 0;
    std::atomic<bool> m_stopping {false};
    std::atomic<int> m_requests {0};
    std::atomic<long long> m_bodyBytes {0};
    std::atomic<int> m_stalls {0};
    std::thread m_acceptor;
    std::mutex m_mutex;
    std::condition_variable m_stopSignal;
    std::vector<std::thread> m_connections;
    std::vector<int> m_openFds;
};

} // namespace zephyrscope::testing

#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <thread>

namespace zephyrscope::testing {

// A TCP relay on 127.0.0.1 that holds everything it forwards, in both directions,
// for a fixed delay: a network path a known time longer. Each accepted client is
// joined to a new connection to the target port; bytes keep their order and are
// written out delay after they were read.
//
// Thread: one relay thread. It stops with the destructor or after maxLifetime.
class DelayingTcpRelay {
public:
    DelayingTcpRelay(std::uint16_t targetPort, std::chrono::milliseconds delay,
                     std::chrono::milliseconds maxLifetime = std::chrono::seconds(120));
    ~DelayingTcpRelay();
    DelayingTcpRelay(const DelayingTcpRelay&) = delete;
    DelayingTcpRelay& operator=(const DelayingTcpRelay&) = delete;

    // The port clients connect to.
    std::uint16_t port() const { return m_port; }

    // What the relay really held the bytes it forwarded, on average: the delay plus
    // its own lateness in writing them out. Zero before anything was forwarded.
    double meanHoldMs() const;

private:
    void run();

    std::uint16_t m_targetPort;
    std::chrono::milliseconds m_delay;
    std::chrono::steady_clock::time_point m_end;
    int m_listener = -1;
    int m_wake = -1;
    std::uint16_t m_port = 0;
    std::atomic<bool> m_stopping {false};
    std::atomic<double> m_heldMsTotal {0.0};
    std::atomic<long> m_chunksForwarded {0};
    std::thread m_thread;
};

} // namespace zephyrscope::testing

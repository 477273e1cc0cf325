#pragma once

// A UDP relay on 127.0.0.1 between an MPEG-TS sender (raw TS over UDP) and a
// receiver that injects transport stream faults into what it passes on, at the
// packet level inside each datagram, as TsFaultInjector plans and counts them:
// damaged packets, wrong section CRCs, scrambling without a CAT, a gap in the
// PCRs, a hold of the PTS, and datagrams sent late for a known PCR jitter.
// Late or paced datagrams wait in a timer queue the relay thread drains
// between receives (tools/impair's DatagramSchedule); every datagram is passed
// on, and the PCR jitter of what it sent is measured from its own send times.
//
// Thread: one relay thread; counts() may be called from any thread. It stops
// with stop(), the destructor, or after maxLifetime, whichever comes first.

#include "DatagramSchedule.h"
#include "SentPcrJitter.h"
#include "TsFaultInjector.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

namespace zephyrscope::tools {

class TsFaultRelay {
public:
    struct Options {
        std::string targetHost = "127.0.0.1";
        std::uint16_t targetPort = 0;
        TsFaultInjector::Plan plan;
        std::chrono::milliseconds maxLifetime = std::chrono::seconds(120);
    };

    explicit TsFaultRelay(const Options& options);
    ~TsFaultRelay();
    TsFaultRelay(const TsFaultRelay&) = delete;
    TsFaultRelay& operator=(const TsFaultRelay&) = delete;

    // The port the sender sends to.
    std::uint16_t port() const { return m_port; }
    void stop();
    TsFaultInjector::Counts counts() const;
    // The PCR jitter of what the relay sent, from its own send times (SentPcrJitter).
    std::optional<std::int64_t> sentPcrJitterUs() const;
    // Whether a paced relay got the real-time scheduling it asks for, so that
    // other busy threads cannot hold its sends back.
    bool pacedInRealTime() const { return m_realTime; }

private:
    void run();
    void send(const unsigned char* datagram, std::size_t size);

    Options m_options;
    std::chrono::steady_clock::time_point m_end;
    int m_in = -1, m_out = -1;
    std::uint16_t m_port = 0;
    std::atomic<bool> m_stopping {false};
    std::atomic<bool> m_realTime {false};
    mutable std::mutex m_mutex;
    TsFaultInjector m_injector;          // under m_mutex
    SentPcrJitter m_sentJitter;          // under m_mutex
    impair::DatagramSchedule m_schedule; // relay thread only
    std::thread m_thread;
};

} // namespace zephyrscope::tools

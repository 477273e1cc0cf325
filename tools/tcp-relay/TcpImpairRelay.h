#pragma once

// A TCP relay on 127.0.0.1 between clients and one TCP server, impairing the
// byte streams as a bad path would while TCP still delivers every byte, in
// order: each accepted client is joined to a new connection to the server, and
// what either side sends is cut into segment-sized chunks (ChunkImpairment's
// kSegmentBytes) that leave when ChunkImpairment says (toClient: the server's
// stream, toServer: the requests). Loss, a rate cap, delay with jitter and an
// outage become holds; with resetOnOutage the outage instead resets every
// connection open when it begins (their unsent bytes are discarded and
// counted) and holds what new connections carry until it ends.
//
// It counts exactly what it forwarded (bytes and chunks, per connection and in
// all: written to the far socket in full), and, per direction, what each cause
// held and for how long.
//
// Thread: one relay thread; counts() may be called from any thread. It stops
// with the destructor or after maxLifetime, whichever comes first.

#include "ChunkImpairment.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace zephyrscope::tools {

class TcpImpairRelay {
public:
    struct Options {
        std::uint16_t targetPort = 0;
        ChunkImpairment::Params toClient; // none by default
        ChunkImpairment::Params toServer;
        bool resetOnOutage = false; // toClient's outage resets the connections open when it begins
        std::chrono::milliseconds maxLifetime = std::chrono::seconds(120);
        // Called on the relay thread with each chunk written to a client in full, in
        // order: for a caller that counts what the bytes carry (RTP packets in RTSP).
        std::function<void(int connection, const char* data, std::size_t size)> forwardedToClient;
        // The same for each chunk written to the server: what the clients asked (HTTP requests).
        std::function<void(int connection, const char* data, std::size_t size)> forwardedToServer;
    };

    struct Connection {
        std::uint64_t bytesToClient = 0, chunksToClient = 0;
        std::uint64_t bytesToServer = 0, chunksToServer = 0;
        std::uint64_t bytesDiscarded = 0; // read but never written: reset, or the far side gone
        bool reset = false;
        bool open = true;
    };

    struct Counts {
        std::vector<Connection> connections; // in the order they were accepted
        std::uint64_t bytesToClient = 0, chunksToClient = 0;
        std::uint64_t bytesToServer = 0, chunksToServer = 0;
        std::uint64_t bytesDiscarded = 0;
        std::uint64_t resets = 0;
        std::uint64_t refused = 0; // clients whose server connection failed
        ChunkImpairment::Counts toClient, toServer; // what was read and how it was held
    };

    // Listens on a free port of 127.0.0.1; throws std::runtime_error when it cannot.
    explicit TcpImpairRelay(const Options& options);
    ~TcpImpairRelay();
    TcpImpairRelay(const TcpImpairRelay&) = delete;
    TcpImpairRelay& operator=(const TcpImpairRelay&) = delete;

    // The port clients connect to.
    std::uint16_t port() const { return m_port; }
    Counts counts() const;

private:
    struct Link;
    void run();

    Options m_options;
    std::chrono::steady_clock::time_point m_end;
    int m_listener = -1;
    int m_wake = -1;
    std::uint16_t m_port = 0;
    std::atomic<bool> m_stopping {false};
    mutable std::mutex m_mutex;
    Counts m_counts;
    std::thread m_thread;
};

} // namespace zephyrscope::tools

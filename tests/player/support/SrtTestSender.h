#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace zephyrscope::testing {

// A live H.264/MPEG-TS stream of noise (about 1 Mbit/s, some 100 packets a
// second) sent by srtsink as an SRT listener on 127.0.0.1, in this process, for
// the player's SRT caller. Each SRT data packet carries
// 1316 bytes (seven TS packets). Main-loop thread; the pipeline streams on its own.
class SrtTestSender {
public:
    // seconds: how long it sends before its stream ends; latencyMs: SRT latency.
    explicit SrtTestSender(double seconds, int latencyMs = 125);
    ~SrtTestSender();
    SrtTestSender(const SrtTestSender&) = delete;
    SrtTestSender& operator=(const SrtTestSender&) = delete;

    // Starts listening; throws std::runtime_error when it cannot.
    void start();
    // Stops sending at once, leaving the connection to time out at the caller.
    void pause();
    // Ends the pipeline (and the connection).
    void stop();

    std::uint16_t port() const { return m_port; }
    std::string url() const; // "srt://127.0.0.1:<port>"

private:
    struct Pipeline;
    std::unique_ptr<Pipeline> m_pipeline;
    double m_seconds;
    int m_latencyMs;
    std::uint16_t m_port = 0;
};

} // namespace zephyrscope::testing

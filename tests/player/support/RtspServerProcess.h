#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <string>
#include <sys/types.h>
#include <vector>

namespace zephyrscope::testing {

// Runs zephyrscope_rtsp_server as a child process on 127.0.0.1 and a free port.
// The server lives until finish() (or the destructor) closes its input; it then
// reports how many RTP packets it sent and dropped.
class RtspServerProcess {
public:
    struct Stats {
        std::uint64_t sent = 0;
        std::uint64_t dropped = 0;
        std::uint64_t trailingDropped = 0; // dropped after the last packet delivered: undetectable
        // With a hold (--hold-*): the relays' counts by name ("forwarded", "dropped",
        // "trailing", "least-hold-us", ...: the server's "relay-" fields); empty without.
        std::map<std::string, std::int64_t> relay;
        // The frames the server's payloader sent and what its drops left damaged
        // ("sent", "key", "damage-bound", "damaged-whole": its "frames-" fields).
        std::map<std::string, std::int64_t> frames;
        std::int64_t relayCount(const std::string& name) const
        {
            const auto found = relay.find(name);
            return found == relay.end() ? 0 : found->second;
        }
    };

    // arguments: extra options for the server (e.g. {"--drop-every", "20"}).
    // Throws std::runtime_error when it does not come up within the timeout.
    RtspServerProcess(const std::string& program, const std::vector<std::string>& arguments,
                      std::chrono::milliseconds timeout = std::chrono::seconds(10));
    ~RtspServerProcess();
    RtspServerProcess(const RtspServerProcess&) = delete;
    RtspServerProcess& operator=(const RtspServerProcess&) = delete;

    int port() const { return m_port; }
    std::string url(const std::string& scheme = "rtsp", const std::string& mount = "/clip") const;
    // Ends the server and returns its final counts (zeros when it did not report).
    Stats finish(std::chrono::milliseconds timeout = std::chrono::seconds(10));
    // Kills the server outright, as a crash would: no goodbye reaches its clients.
    // finish() then reaps it.
    void killAbruptly();

private:
    bool readLine(std::string& line, std::chrono::milliseconds timeout);

    pid_t m_pid = -1;
    int m_input = -1;
    int m_output = -1;
    int m_port = 0;
    std::string m_pending;
    bool m_finished = false;
    Stats m_stats;
};

} // namespace zephyrscope::testing

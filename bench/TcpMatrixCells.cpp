#include "TcpMatrixCells.h"

#include "CWMPPlayer4.h"
#include "EventRecorder.h"
#include "FfmpegLivePackager.h"
#include "HttpTestServer.h"
#include "MainLoopWait.h"
#include "RtspServerProcess.h"
#include "TcpImpairRelay.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <memory>
#include <stdexcept>

namespace zephyrscope::bench {

using namespace std::chrono_literals;
using testing::FfmpegLivePackager;
using testing::HttpTestServer;
using testing::RtspServerProcess;
using tools::ChunkImpairment;
using tools::TcpImpairRelay;
using Clock = std::chrono::steady_clock;

namespace {

constexpr std::int64_t kMsUs = 1000;
constexpr std::int64_t kRetransmitMs = 200;  // the relay's retransmission hold
constexpr std::int64_t kOutageStartMs = 6000; // after the relay's first chunk: the player is well into playing
constexpr std::int64_t kOutageMs = 2000;
constexpr std::int64_t kDelayMs = 100, kJitterMs = 30;
constexpr double kCapShare = 0.6;        // the cap, as a share of the stream's rate measured unimpaired
constexpr double kRtspLatencyMs = 2000;  // rtspsrc's jitter buffer: the lead a live RTSP player keeps
constexpr double kSampleMs = 100;        // how often the cell reads the player's figures
constexpr std::uint64_t kSeed = 20261209;

bool isHttp(TcpMatrixCells::Source source)
{
    return source != TcpMatrixCells::Source::RtspTcp;
}

// The media one segment carries: ffmpeg's and the HLS test stream's are 1 s,
// the DASH ladder's 2 s.
double segmentMs(TcpMatrixCells::Source source)
{
    return source == TcpMatrixCells::Source::DashServer ? 2000.0 : 1000.0;
}

bool isManifest(const std::string& path)
{
    const std::string bare = path.substr(0, path.find('?'));
    const auto endsWith = [&bare](const std::string& tail) {
        return bare.size() >= tail.size() && bare.compare(bare.size() - tail.size(), tail.size(), tail) == 0;
    };
    return endsWith(".m3u8") || endsWith(".mpd") || bare.find("utc-time") != std::string::npos;
}

// Media segments (init segments too: they are downloaded) whose answer had
// begun by `by`, and the body bytes of all answers sent by then.
struct Answered {
    int segments = 0;
    long long bytes = 0, segmentBytes = 0;
};

Answered answeredBy(const std::vector<HttpTestServer::Sent>& log, Clock::time_point by)
{
    Answered answered;
    for (const HttpTestServer::Sent& sent : log) {
        if (sent.time > by || sent.status != 200)
            continue;
        answered.bytes += sent.bytes;
        if (isManifest(sent.path))
            continue;
        answered.segmentBytes += sent.bytes;
        answered.segments += sent.first ? 1 : 0;
    }
    return answered;
}

double msBetween(Clock::time_point from, Clock::time_point to)
{
    return std::chrono::duration<double, std::milli>(to - from).count();
}

std::int64_t wallMsNow()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

} // namespace

std::string TcpMatrixCells::Figure::verdict() const
{
    const double off = std::fabs(measured - truth);
    if (off < 1e-9)
        return "exact";
    if (off <= tolerance) {
        char text[48];
        const double percent = truth != 0.0 ? 100.0 * tolerance / std::fabs(truth) : 0.0;
        if (truth != 0.0)
            std::snprintf(text, sizeof text, "within %.0f %%", percent);
        else
            std::snprintf(text, sizeof text, "within %.0f %s", tolerance, unit.c_str());
        return text;
    }
    return "wrong";
}

TcpMatrixCells::TcpMatrixCells(std::filesystem::path work)
    : m_work(std::move(work))
{
}

std::string TcpMatrixCells::name(Source source)
{
    switch (source) {
    case Source::RtspTcp: return "RTSP/TCP";
    case Source::HlsServer: return "HLS (test server)";
    case Source::HlsFfmpeg: return "HLS (ffmpeg)";
    case Source::DashServer: return "DASH (test server)";
    case Source::DashFfmpeg: return "DASH (ffmpeg)";
    }
    return "?";
}

std::string TcpMatrixCells::name(Kind kind)
{
    switch (kind) {
    case Kind::None: return "none";
    case Kind::Loss05: return "loss 0.5 %";
    case Kind::Loss2: return "loss 2 %";
    case Kind::Loss5: return "loss 5 %";
    case Kind::Bursts: return "bursts (GE, mean 5)";
    case Kind::Outage: return "outage 2 s";
    case Kind::Delay: return "delay 100 +- 30 ms";
    case Kind::RateCap: return "rate cap 60 %";
    }
    return "?";
}

std::vector<TcpMatrixCells::Kind> TcpMatrixCells::kinds()
{
    return {Kind::None, Kind::Loss05, Kind::Loss2, Kind::Loss5, Kind::Bursts, Kind::Outage, Kind::Delay, Kind::RateCap};
}

std::vector<TcpMatrixCells::Source> TcpMatrixCells::sources()
{
    return {Source::RtspTcp, Source::HlsServer, Source::HlsFfmpeg, Source::DashServer, Source::DashFfmpeg};
}

ChunkImpairment::Params TcpMatrixCells::impairmentOf(Source source, Kind kind)
{
    ChunkImpairment::Params params;
    params.retransmitUs = kRetransmitMs * kMsUs;
    params.loss.seed = kSeed;
    params.delay.seed = kSeed;
    switch (kind) {
    case Kind::None: break;
    case Kind::Loss05:
    case Kind::Loss2:
    case Kind::Loss5:
        params.loss.kind = tools::impair::LossModel::Kind::Random;
        params.loss.rate = kind == Kind::Loss05 ? 0.005 : kind == Kind::Loss2 ? 0.02 : 0.05;
        break;
    case Kind::Bursts:
        params.loss.kind = tools::impair::LossModel::Kind::GilbertElliott;
        params.loss.rate = 0.02;
        params.loss.meanBurst = 5.0;
        break;
    case Kind::Outage:
        params.outage.startUs = kOutageStartMs * kMsUs;
        params.outage.durationUs = kOutageMs * kMsUs;
        break;
    case Kind::Delay:
        params.delay.delayUs = kDelayMs * kMsUs;
        params.delay.jitterUs = kJitterMs * kMsUs;
        break;
    case Kind::RateCap:
        params.rateBitsPerSecond = static_cast<std::int64_t>(kCapShare * m_streamBitsPerSecond.at(source));
        params.rateBucketBytes = 16 * 1024;
        break;
    }
    return params;
}

void TcpMatrixCells::prepare(Source source)
{
    if (source == Source::HlsServer && !m_hlsMade) {
        testing::MediaFactory::Clip clip;
        clip.seconds = 40.0;
        m_media.makeHls("matrix-hls", clip);
        m_hlsMade = true;
    }
    if (source == Source::DashServer && !m_dashMade) {
        m_media.makeDashLadder("matrix-dash", 40.0);
        m_dashMade = true;
    }
}

TcpMatrixCells::Cell TcpMatrixCells::run(Source source, Kind kind, std::chrono::seconds playFor)
{
    if (kind == Kind::RateCap && m_streamBitsPerSecond.count(source) == 0)
        run(source, Kind::None, playFor);
    if (kind != Kind::None && m_firstFrameMs.count(source) == 0)
        run(source, Kind::None, playFor);
    prepare(source);
    Cell cell {source, kind, {}, {}};

    // The server.
    std::unique_ptr<HttpTestServer> http;
    std::unique_ptr<FfmpegLivePackager> ffmpeg;
    std::unique_ptr<RtspServerProcess> rtsp;
    std::string path;
    if (isHttp(source)) {
        http = std::make_unique<HttpTestServer>(m_media.dir());
        http->start();
    }
    switch (source) {
    case Source::RtspTcp:
        rtsp = std::make_unique<RtspServerProcess>(ZEPHYRSCOPE_RTSP_SERVER, std::vector<std::string> {"--seconds", "100"});
        path = "/clip";
        break;
    case Source::HlsServer: path = "/matrix-hls/index.m3u8?live=3"; break;
    case Source::DashServer: path = "/matrix-dash/manifest.mpd?dashLive=3"; break;
    case Source::HlsFfmpeg:
    case Source::DashFfmpeg: {
        const bool dash = source == Source::DashFfmpeg;
        const std::string folder = dash ? "matrix-ffmpeg-dash" : "matrix-ffmpeg-hls";
        const std::string manifest = dash ? "live.mpd" : "live.m3u8";
        ffmpeg = std::make_unique<FfmpegLivePackager>(dash ? FfmpegLivePackager::Format::Dash
                                                           : FfmpegLivePackager::Format::Hls,
                                                      m_media.dir() / folder, manifest,
                                                      std::chrono::seconds(playFor.count() + 30));
        if (!ffmpeg->waitForSegments(3, 20s)) {
            cell.note = "ffmpeg wrote no live stream within 20 s";
            return cell;
        }
        path = "/" + folder + "/" + manifest;
        break;
    }
    }

    // The relay, and the player through it.
    TcpImpairRelay::Options options;
    options.targetPort = static_cast<std::uint16_t>(rtsp ? rtsp->port() : http->port());
    options.toClient = impairmentOf(source, kind);
    options.maxLifetime = playFor + 30s;
    TcpImpairRelay relay(options);
    const std::string url = (rtsp ? "rtspt://127.0.0.1:" : "http://127.0.0.1:") + std::to_string(relay.port()) + path;

    testing::EventRecorder events;
    auto player = std::make_unique<CWMPPlayer4>();
    player->setFakeSinks(true);
    player->setEventSink(&events);
    const Clock::time_point started = Clock::now();
    player->putURL(url);

    std::int32_t maxLost = 0, startupMs = 0;
    std::int32_t received = 0;
    Answered answeredAtRead;
    std::int32_t stalls = 0;
    double stallMs = 0.0;
    std::int64_t lastStallSince = -1;
    std::optional<Clock::time_point> firstFrame;
    std::uint64_t bytesAtFirstFrame = 0, retransmittedAtFirstFrame = 0;
    int answersBeforeFirstFrame = 0;
    while (Clock::now() - started < playFor) {
        testing::RunMainLoopFor(std::chrono::milliseconds(static_cast<int>(kSampleMs)));
        const NetworkFigures f = player->network()->figures();
        maxLost = std::max(maxLost, f.lostPackets);
        if (!firstFrame && f.firstFrameWallMs > 0) {
            firstFrame = Clock::now() - std::chrono::milliseconds(wallMsNow() - f.firstFrameWallMs);
            startupMs = f.startupMs;
            const TcpImpairRelay::Counts counts = relay.counts();
            bytesAtFirstFrame = counts.bytesToClient;
            retransmittedAtFirstFrame = counts.toClient.retransmitted;
            if (http) {
                for (const HttpTestServer::Sent& sent : http->sentLog())
                    answersBeforeFirstFrame += sent.first && sent.time <= *firstFrame ? 1 : 0;
            }
        }
        // Each stall once, when the picture moves again; one still open at the end counts to now.
        if (f.stallResumedWallMs > f.stallSinceWallMs && f.stallSinceWallMs != lastStallSince) {
            stallMs += static_cast<double>(f.stallResumedWallMs - f.stallSinceWallMs);
            lastStallSince = f.stallSinceWallMs;
        }
        stalls = f.stallsTimed;
        received = f.receivedPackets;
        if (http)
            answeredAtRead = answeredBy(http->sentLog(), Clock::now());
        if (f.stallSinceWallMs > f.stallResumedWallMs && Clock::now() - started + 150ms >= playFor)
            stallMs += static_cast<double>(wallMsNow() - f.stallSinceWallMs);
    }
    const Clock::time_point ended = Clock::now();
    const TcpImpairRelay::Counts counts = relay.counts();
    player->controls()->stop();
    testing::RunMainLoopFor(300ms);
    player->setEventSink(nullptr);
    player.reset();
    testing::RunMainLoopFor(100ms);

    if (!firstFrame) {
        cell.note = "no first frame in " + std::to_string(playFor.count()) + " s (" + events.sequence()
            + (events.errors.empty() ? std::string() : "; " + events.errors.front()) + ")";
        return cell;
    }
    const double segment = rtsp ? 0.0 : segmentMs(source);
    const double playedMs = msBetween(*firstFrame, ended);

    // The stream's own rate, unimpaired: the media bytes over the media they carry.
    if (kind == Kind::None) {
        if (http && answeredAtRead.segments > 0)
            m_streamBitsPerSecond[source] =
                8.0 * static_cast<double>(answeredAtRead.segmentBytes) / (answeredAtRead.segments * segment / 1000.0);
        else
            m_streamBitsPerSecond[source] = 8.0 * static_cast<double>(counts.bytesToClient) / (msBetween(started, ended) / 1000.0);
        m_firstFrameMs[source] = startupMs;
    }

    // Lost: TCP delivers every byte, so nothing the player counts is lost.
    cell.figures.push_back({"lost", static_cast<double>(maxLost), 0.0, 0.0, "packets",
                            "TCP repairs every loss: the relay held " + std::to_string(counts.toClient.retransmitted)
                                + " chunks for a retransmission, dropped none"});

    // Received: the media segments the server had begun to answer when the
    // figures were read; the one in flight may not be counted yet, nor those the
    // relay still held.
    if (http) {
        const double heldMs = static_cast<double>(counts.toClient.longestHoldUs) / 1000.0;
        const double inFlight = 1.0 + std::ceil(heldMs / segment);
        cell.figures.push_back({"received", static_cast<double>(received), static_cast<double>(answeredAtRead.segments),
                                inFlight, "segments",
                                "segments the server answered; the one in flight and those the relay held (longest "
                                    + std::to_string(static_cast<int>(heldMs)) + " ms) may be uncounted"});
    }

    // Stalls: the player bridges a hold with the media it has ahead of the
    // picture: at least one segment for HLS/DASH (a live player starts some
    // segments behind the live edge and fetches ahead of its picture), the jitter
    // buffer for RTSP. A hold longer than that lead stalls the picture for the
    // difference.
    double expectedStallMs = 0.0, stallTolerance = 0.0;
    std::string stallWhy;
    const double longestHoldMs = static_cast<double>(counts.toClient.longestHoldUs) / 1000.0;
    if (kind == Kind::Outage) {
        // The lead at the outage's start: the media answered before it, less the media played by then.
        double leadMs = kRtspLatencyMs;
        std::string leadWhy = "the jitter buffer's";
        if (http && counts.connections.size() > 0) {
            // The outage began kOutageStartMs after the relay's first chunk, which came with the first answer.
            const std::vector<HttpTestServer::Sent> log = http->sentLog();
            const Clock::time_point firstAnswer = log.empty() ? started : log.front().time;
            const Clock::time_point outageAt = firstAnswer + std::chrono::milliseconds(kOutageStartMs);
            const Answered before = answeredBy(log, outageAt);
            leadMs = before.segments * segment - msBetween(*firstFrame, outageAt);
            leadWhy = std::to_string(before.segments) + " segments answered before it less "
                + std::to_string(static_cast<int>(msBetween(*firstFrame, outageAt))) + " ms played:";
        }
        expectedStallMs = std::max(0.0, static_cast<double>(kOutageMs) - leadMs);
        stallTolerance = std::max(segment, 250.0); // a stalled player resumes on whole segments (or a frame's buffering)
        stallWhy = "2-s outage less " + leadWhy + " " + std::to_string(static_cast<int>(leadMs)) + " ms lead";
    } else if (kind == Kind::RateCap) {
        // At the cap, media arrives at kCapShare of real time: after the first
        // frame the player plays what arrives, and waits for the rest.
        const double bytesPerMediaMs = m_streamBitsPerSecond.at(source) / 8000.0;
        const double deliveredMediaMs =
            static_cast<double>(counts.bytesToClient - bytesAtFirstFrame) / bytesPerMediaMs;
        expectedStallMs = std::max(0.0, playedMs - deliveredMediaMs);
        stallTolerance = std::max(0.2 * expectedStallMs, segment);
        stallWhy = std::to_string(static_cast<int>(playedMs)) + " ms since the first frame less "
            + std::to_string(static_cast<int>(deliveredMediaMs)) + " ms of media the cap let through since";
    } else {
        const double leadMs = rtsp ? kRtspLatencyMs : segment;
        expectedStallMs = std::max(0.0, longestHoldMs - leadMs);
        stallTolerance = expectedStallMs > 0.0 ? segment : 0.0;
        stallWhy = "longest hold " + std::to_string(static_cast<int>(longestHoldMs)) + " ms against a lead of "
            + std::to_string(static_cast<int>(leadMs)) + " ms";
    }
    // Under the cap any number of stalls is right as long as there is one: their time is the figure.
    const double expectedStalls = expectedStallMs <= 0.0 ? 0.0 : kind == Kind::RateCap ? std::max(1, stalls) : 1.0;
    cell.figures.push_back({"stalls", static_cast<double>(stalls), expectedStalls, 0.0, "",
                            kind == Kind::RateCap ? "at least one: " + stallWhy : stallWhy});
    cell.figures.push_back({"stall time", stallMs, expectedStallMs, stallTolerance, "ms", stallWhy});

    // Time to first frame: the unimpaired cell's, plus what the relay added
    // before it: a one-way delay on each answer begun before it (one after the
    // other: the manifest, then the segments), a retransmission hold on each
    // chunk lost before it, or the cap's pace on the bytes before it.
    if (kind != Kind::None) {
        double truth = m_firstFrameMs.at(source);
        double tolerance = std::max(250.0, 0.25 * truth);
        std::string why = "unimpaired " + std::to_string(static_cast<int>(truth)) + " ms";
        if (kind == Kind::Delay) {
            const int answers = http ? answersBeforeFirstFrame : 1;
            truth += answers * kDelayMs;
            tolerance += answers * kJitterMs;
            why += " + " + std::to_string(answers) + " answers x 100 ms";
        } else if (kind == Kind::Loss05 || kind == Kind::Loss2 || kind == Kind::Loss5 || kind == Kind::Bursts) {
            tolerance += static_cast<double>(retransmittedAtFirstFrame) * kRetransmitMs;
            why += ", up to " + std::to_string(retransmittedAtFirstFrame) + " retransmission holds more";
        } else if (kind == Kind::RateCap) {
            const double paceMs = 8000.0 * static_cast<double>(bytesAtFirstFrame)
                / (kCapShare * m_streamBitsPerSecond.at(source));
            truth = std::max(truth, paceMs);
            why += ", or the cap's time for the " + std::to_string(bytesAtFirstFrame) + " bytes before it";
        }
        cell.figures.push_back({"first frame", static_cast<double>(startupMs), truth, tolerance, "ms", why});
    }
    return cell;
}

} // namespace zephyrscope::bench

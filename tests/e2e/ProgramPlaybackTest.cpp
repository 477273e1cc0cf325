// The program as a script runs it, on real generated media: offscreen, unattended,
// ending by itself. Every log it writes is read back with the report's exact log
// reader, so a malformed or cut-off line fails the test.
#include "BroadcastTestSender.h"
#include "HeadlessPlatform.h"
#include "HttpTestServer.h"
#include "HttpsTestProxy.h"
#include "JsonLogReader.h"
#include "LogCheck.h"
#include "LoopbackSocket.h"
#include "MediaFactory.h"
#include "P1203Input.h"
#include "ProgramProcess.h"
#include "Protocol.h"
#include "RunSummary.h"
#include "SrtTestSender.h"
#include "ToolRun.h"
#include "TsDropRelay.h"
#include "WhepServerProcess.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstdio>
#include <filesystem>
#include <sstream>

using namespace zephyrscope;
using namespace zephyrscope::report;
using zephyrscope::testing::ExpectWellFormedLog;
using zephyrscope::testing::MediaFactory;
using zephyrscope::testing::ProgramProcess;
using zephyrscope::testing::ProgramResult;
namespace fs = std::filesystem;

namespace {

ProgramResult runProgram(const fs::path& workDir, const QStringList& arguments)
{
    return ProgramProcess::run({workDir, arguments});
}

StatisticsLog readWellFormedLog(const fs::path& path)
{
    return ExpectWellFormedLog(path);
}

// Playing samples away from the start and the end of an entry, where the
// one-second frame-rate window is full.
std::vector<LogSample> steadyPlaying(const std::vector<LogSample>& samples)
{
    std::vector<LogSample> playing;
    double playingSince = 0.0;
    for (std::size_t i = 0; i < samples.size(); ++i) {
        if (!samples[i].isPlaying())
            continue;
        if (i == 0 || !samples[i - 1].isPlaying())
            playingSince = samples[i].utc();
        const bool last = i + 1 == samples.size() || !samples[i + 1].isPlaying();
        if (!last && samples[i].utc() - playingSince >= 1.0)
            playing.push_back(samples[i]);
    }
    return playing;
}

// Starts run; the metrics port the system picked, from the line the program prints, or 0.
int startAndReadMetricsPort(ProgramProcess& run)
{
    const bool started = run.start();
    const std::string serving = "Serving metrics at http://127.0.0.1:";
    if (!started || !run.waitForStderr("/metrics\n"))
        return 0;
    const std::string told = run.stderrSoFar();
    const auto at = told.find(serving);
    return at == std::string::npos ? 0 : std::atoi(told.c_str() + at + serving.size());
}

// Sample lines in Playing the log holds so far.
int playingLines(const fs::path& logPath)
{
    const std::string text = zephyrscope::testing::FileText(logPath);
    int lines = 0;
    for (auto at = text.find("\tPlaying"); at != std::string::npos; at = text.find("\tPlaying", at + 1))
        ++lines;
    return lines;
}

// The real promtool on a live exposition: no lint remark, no parse error.
void ExpectPromtoolFindsNothing(const std::string& exposition)
{
    const zephyrscope::testing::ToolRun promtool =
        zephyrscope::testing::runTool(PROMTOOL_BINARY, {"check", "metrics"}, exposition);
    EXPECT_EQ(promtool.output, "");
    EXPECT_EQ(promtool.exitStatus, 0) << "3: lint problems; 1: a parse error";
}

class ProgramPlaybackTest : public ::testing::Test {
protected:
    MediaFactory media;
};

} // namespace

// The check every log read here goes through: a counter may start again with
// a new entry, never fall within one.
TEST(LogCheck, CounterThatFallsWithinAnEntryFailsTheTestAndOneThatStartsAgainWithTheNextEntryDoesNot)
{
    static StatisticsLog log;
    log.media.resize(2);
    log.media[0].firstSampleAfter = 0;
    log.media[1].firstSampleAfter = 2;
    log.samples.resize(4);
    for (std::size_t i = 0; i < log.samples.size(); ++i)
        log.samples[i].line = static_cast<int>(i) + 10;
    log.samples[0].network.lostPackets = 5;
    log.samples[1].network.lostPackets = 5;
    log.samples[1].network.receivedPackets = 7;
    log.samples[3].network.receivedPackets = 1;
    log.samples[3].stateName = "Playing";
    // The entry after it is sampled while it opens, before its block is written.
    log.samples.push_back({});
    log.samples[4].line = 14;
    log.samples[4].stateName = "Transitioning";
    zephyrscope::testing::ExpectCountersNeverFall(log, "two-entries.dat");

    log.samples[1].network.lostPackets = 3;
    EXPECT_NONFATAL_FAILURE(zephyrscope::testing::ExpectCountersNeverFall(log, "two-entries.dat"),
                            "line 11: Lost_Pkts fell within an entry, from 5 (line 10)");
}

TEST_F(ProgramPlaybackTest, GeneratedClipEndsByItselfWithAWellFormedLog)
{
    MediaFactory::Clip clip;
    clip.seconds = 4.0;
    clip.title = "Zephyr test clip";
    // A name that looks like an option, given after "--", is the URL.
    media.make("--clip25.mkv", clip);

    // As on a server: no display, and no platform named; the program has to find
    // out for itself that it runs offscreen, and say so once.
    ProgramProcess::Options options(media.dir(), {"--", "--clip25.mkv", "run.dat"});
    options.namePlatform = false;
    const ProgramResult run = ProgramProcess::run(options);
    EXPECT_EQ(run.exitStatus, 0) << run.stderrText;
    const std::string notice = std::string(kHeadlessNotice) + "\n";
    EXPECT_EQ(run.stderrText.find(notice), 0u) << run.stderrText;
    EXPECT_EQ(run.stderrText.find(notice, 1), std::string::npos) << run.stderrText;
    // About 4 s of clip and a 15.1 s countdown.
    EXPECT_GT(run.seconds, 18.0);
    // Reported, not checked: the run's length depends on the machine's load.
    std::printf("[ measured ] unattended run of a 4-second clip: %.1f s from start to exit\n", run.seconds);

    const StatisticsLog log = readWellFormedLog(media.dir() / "run.dat");
    ASSERT_EQ(log.media.size(), 1u);
    EXPECT_EQ(log.media[0].name, "Zephyr test clip");
    EXPECT_EQ(log.media[0].durationString, "00:04");
    EXPECT_NEAR(log.media[0].duration, 4.0, 0.05);
    EXPECT_EQ(log.media[0].width, 320);
    EXPECT_EQ(log.media[0].height, 240);
    EXPECT_NE(log.media[0].url.find("--clip25.mkv"), std::string::npos) << log.media[0].url;

    ASSERT_GE(log.samples.size(), 6u);
    EXPECT_LT(log.samples.front().elapsed, 0.05);
    for (std::size_t i = 1; i < log.samples.size(); ++i) {
        const double gap = log.samples[i].utc() - log.samples[i - 1].utc();
        EXPECT_NEAR(gap, 0.5, 0.1) << "between lines " << log.samples[i - 1].line << " and " << log.samples[i].line;
        EXPECT_NEAR(log.samples[i].elapsed - log.samples[i - 1].elapsed, gap, 0.01);
    }
    const auto steady = steadyPlaying(log.samples);
    ASSERT_GE(steady.size(), 2u);
    for (const LogSample& s : steady) {
        EXPECT_NEAR(s.fps, 25.0, 0.5) << "line " << s.line;
        EXPECT_NEAR(s.iFramerate, 25.0, 0.5) << "line " << s.line;
        EXPECT_EQ(s.network.encodedFrameRate, 25);
        EXPECT_EQ(columnOf(s.network.protocol), "File");
    }

    // The report's summary of a real run.
    const RunSummary summary = Summarize(log);
    ASSERT_EQ(summary.clips.size(), 1u);
    const Figures& f = summary.clips[0].figures;
    EXPECT_EQ(f.samples, log.samples.size());
    ASSERT_TRUE(f.startupSeconds);
    EXPECT_LT(*f.startupSeconds, 1.0);
    EXPECT_NEAR(f.playingSeconds, 4.0, 0.6);
    EXPECT_EQ(f.stalls, 0);
    ASSERT_TRUE(f.frameRateMean);
    EXPECT_NEAR(*f.frameRateMean, 25.0, 1.5);
    EXPECT_EQ(f.encodedFrameRate, 25);
    EXPECT_EQ(f.framesSkipped, 0);
    EXPECT_FALSE(f.packetLossPercent); // a local file has no packets
    EXPECT_EQ(f.protocol, "File");
}

TEST_F(ProgramPlaybackTest, TwoEntryPlaylistGivesTwoMediaBlocksAndRestartsTime)
{
    MediaFactory::Clip first;
    first.title = "first";
    MediaFactory::Clip second;
    second.title = "second";
    second.fps = 30;
    second.width = 640;
    second.height = 360;
    const fs::path a = media.make("a.mkv", first);
    const fs::path b = media.make("b.mkv", second);
    media.write("list.m3u", "#EXTM3U\n" + a.string() + "\n" + b.string() + "\n");

    const ProgramResult run = runProgram(media.dir(), {"list.m3u", "list.dat"});
    EXPECT_EQ(run.exitStatus, 0) << run.stderrText;

    const StatisticsLog log = readWellFormedLog(media.dir() / "list.dat");
    ASSERT_EQ(log.media.size(), 2u);
    EXPECT_EQ(log.media[0].name, "first");
    EXPECT_EQ(log.media[1].name, "second");
    EXPECT_EQ(log.media[1].width, 640);

    // The first tick after the first clip's end counts Time from zero again; the
    // second end is followed by Ready, which stops sampling.
    int restarts = 0;
    for (std::size_t i = 1; i < log.samples.size(); ++i)
        if (log.samples[i].elapsed < log.samples[i - 1].elapsed) {
            ++restarts;
            EXPECT_LT(log.samples[i].elapsed, 0.01) << "line " << log.samples[i].line;
        }
    EXPECT_EQ(restarts, 1);

    // Each entry reports its own frame rate while it plays steadily.
    int at25 = 0, at30 = 0;
    for (const LogSample& s : steadyPlaying(log.samples)) {
        at25 += std::fabs(s.fps - 25.0) < 0.5 && s.network.encodedFrameRate == 25;
        at30 += std::fabs(s.fps - 30.0) < 0.6 && s.network.encodedFrameRate == 30;
    }
    EXPECT_GE(at25, 1);
    EXPECT_GE(at30, 1);
}

TEST_F(ProgramPlaybackTest, CaFileOptionLetsAPrivatelyCertifiedHttpsClipPlay)
{
    MediaFactory::Clip clip;
    media.make("clip.mkv", clip);
    zephyrscope::testing::HttpTestServer http(media.dir());
    http.start();
    zephyrscope::testing::HttpsTestProxy https(http.port(), media.dir());
    https.start();
    const std::string url = https.url("clip.mkv");

    // Named relative to the directory the program starts in.
    const fs::path caFile = fs::relative(https.certificate(), media.dir());
    ASSERT_TRUE(caFile.is_relative()) << caFile;
    const ProgramResult run = runProgram(media.dir(), {QString::fromStdString("--ca-file=" + caFile.string()),
                                                       QString::fromStdString(url), "https.dat"});
    EXPECT_EQ(run.exitStatus, 0) << run.stderrText;
    EXPECT_EQ(run.stderrText.find("Cannot play"), std::string::npos) << run.stderrText;
    EXPECT_EQ(run.stderrText.find("absolute"), std::string::npos) << run.stderrText;
    const StatisticsLog log = readWellFormedLog(media.dir() / "https.dat");
    ASSERT_EQ(log.media.size(), 1u);
    EXPECT_EQ(log.media[0].url, url);
    const auto playing = std::count_if(log.samples.begin(), log.samples.end(),
                                       [](const LogSample& s) { return s.isPlaying() && columnOf(s.network.protocol) == "HTTPS"; });
    EXPECT_GE(playing, 2);
}

TEST_F(ProgramPlaybackTest, SrtSenderThatStopsShowsBufferingThenFailsAndTheRunEndsByItself)
{
    // The sender asks for the default 125 ms of latency, the player for more.
    constexpr int kSenderLatencyMs = 125;
    constexpr int kReceiverLatencyMs = 250;
    zephyrscope::testing::SrtTestSender sender(90.0, kSenderLatencyMs);
    sender.start();
    const std::string url = sender.url() + "?latency=" + std::to_string(kReceiverLatencyMs);
    // The no-data timeout shortened to 3 s, so that the run does not wait 30.
    ProgramProcess run(
        {media.dir(), {"--metrics=127.0.0.1:0", "--no-data-timeout=3", QString::fromStdString(url), "srt.dat"}});
    const int metricsPort = startAndReadMetricsPort(run);
    ASSERT_GT(metricsPort, 0) << run.stderrSoFar();
    // Two seconds of Playing samples, then the sender stops sending.
    const fs::path logPath = media.dir() / "srt.dat";
    ASSERT_TRUE(run.waitUntil([&] { return playingLines(logPath) >= 4; }, 30000)) << run.stderrSoFar();
    // While it plays, the metrics endpoint has what the log has no column for.
    const zephyrscope::testing::HttpResponse scrape = zephyrscope::testing::httpRequest(metricsPort, "GET", "/metrics");
    sender.pause();
    ASSERT_EQ(scrape.status, 200) << run.stderrSoFar();
    // The negotiated latency is the larger of both sides' own.
    EXPECT_EQ(scrape.seriesValue("zephyrscope_srt_receiver_latency_seconds"),
              std::max(kSenderLatencyMs, kReceiverLatencyMs) / 1000.0)
        << scrape.body;
    // Measured over loopback: above 0, far below the 100 ms SRT assumes before measuring.
    EXPECT_GT(scrape.seriesValue("zephyrscope_srt_rtt_seconds").value_or(0), 0.0) << scrape.body;
    EXPECT_LT(scrape.seriesValue("zephyrscope_srt_rtt_seconds").value_or(1), 0.05) << scrape.body;
    // The sender's picture.
    EXPECT_EQ(scrape.seriesValue("zephyrscope_video_width_pixels"), 320.0) << scrape.body;
    EXPECT_EQ(scrape.seriesValue("zephyrscope_video_height_pixels"), 240.0) << scrape.body;
    EXPECT_NE(scrape.body.find("protocol=\"SRT\"}"), std::string::npos) << scrape.body;
    ExpectPromtoolFindsNothing(scrape.body);
    const ProgramResult result = run.finish(60000);
    EXPECT_NE(result.exitStatus, -1) << "the run hung";
    // It played, then was lost: 4, never 3 (nothing could be played).
    EXPECT_EQ(result.exitStatus, 4) << result.stderrText;
    EXPECT_NE(result.stderrText.find("connection lost after"), std::string::npos) << result.stderrText;
    EXPECT_NE(result.stderrText.find("no data for 3 s"), std::string::npos) << result.stderrText;
    EXPECT_NE(result.stderrText.find(url), std::string::npos) << result.stderrText;

    const StatisticsLog log = readWellFormedLog(logPath);
    ASSERT_EQ(log.media.size(), 1u);
    // Playing, then Buffering counted as a stall, with SRT as the protocol throughout.
    bool played = false;
    int stalledAfterPlaying = 0;
    std::int32_t countWhilePlaying = -1, countWhileStalled = -1;
    for (const auto& s : log.samples) {
        if (s.isPlaying()) {
            played = true;
            countWhilePlaying = s.network.bufferingCount;
            EXPECT_EQ(columnOf(s.network.protocol), "SRT");
        } else if (played && s.isStalled()) {
            ++stalledAfterPlaying;
            countWhileStalled = s.network.bufferingCount;
        }
    }
    EXPECT_TRUE(played);
    EXPECT_GE(stalledAfterPlaying, 2) << zephyrscope::testing::FileText(logPath);
    EXPECT_EQ(countWhileStalled, countWhilePlaying + 1);
}

// Decoding, and with --transport-only (parsed, never decoded): the loss, the
// stream errors and the stalls are the same, and only the picture's size is
// left out of the metrics and the JSON log.
class ProgramTransportModeTest : public ProgramPlaybackTest, public ::testing::WithParamInterface<bool> {};

TEST_P(ProgramTransportModeTest, UdpStreamThroughALossyRelayLogsItsLossServesItsStreamErrorsAndEndsWhenTheSenderStops)
{
    const bool transportOnly = GetParam();
    using zephyrscope::testing::BroadcastTestSender;
    using zephyrscope::tools::TsDropRelay;
    const std::uint16_t port = BroadcastTestSender::freePortPair();
    TsDropRelay::Options options;
    options.targetPort = port;
    options.dropEvery = 40;
    TsDropRelay relay(options);
    const std::string url = "udp://127.0.0.1:" + std::to_string(port);
    QStringList arguments {"--metrics=127.0.0.1:0", "--json-log=udp.jsonl", "--no-data-timeout=3"};
    if (transportOnly)
        arguments << "--transport-only";
    arguments << QString::fromStdString(url) << "udp.dat";
    ProgramProcess run({media.dir(), arguments});
    const int metricsPort = startAndReadMetricsPort(run);
    ASSERT_GT(metricsPort, 0) << run.stderrSoFar();
    // The sender starts once the program listens: what went before, the program could not see.
    ASSERT_TRUE(run.waitUntil([port] { return BroadcastTestSender::portTaken(port); }, 20000)) << run.stderrSoFar();
    BroadcastTestSender sender(BroadcastTestSender::Transport::Udp, "127.0.0.1", relay.port(), 90.0);
    sender.start();
    const fs::path logPath = media.dir() / "udp.dat";
    ASSERT_TRUE(run.waitUntil([&] { return playingLines(logPath) >= 8; }, 30000)) << run.stderrSoFar();
    sender.pause();
    // The relay's counts stand still once the last datagrams are through; a tick later, the player's too.
    std::uint64_t seen = relay.counts().originals;
    auto since = std::chrono::steady_clock::now();
    run.waitUntil(
        [&] {
            const auto now = std::chrono::steady_clock::now();
            if (const std::uint64_t originals = relay.counts().originals; originals != seen) {
                seen = originals;
                since = now;
            }
            return now - since > std::chrono::milliseconds(700);
        },
        5000);
    const TsDropRelay::Counts counts = relay.counts();
    const zephyrscope::testing::HttpResponse scrape = zephyrscope::testing::httpRequest(metricsPort, "GET", "/metrics");
    ASSERT_EQ(scrape.status, 200) << run.stderrSoFar();
    const auto errorsOfKind = [&](const std::string& kind) -> std::optional<double> {
        const std::string label = "error=\"" + kind + "\"} ";
        const auto at = scrape.body.find(label);
        if (at == std::string::npos)
            return std::nullopt;
        return std::strtod(scrape.body.c_str() + at + label.size(), nullptr);
    };
    ASSERT_GT(counts.dropped, 5u);
    const double tsDropped = static_cast<double>(counts.tsPacketsDropped - counts.trailingTsPackets);
    EXPECT_NEAR(scrape.seriesValue("zephyrscope_lost_packets_total").value_or(-1), tsDropped, tsDropped * 0.01 + 0.5)
        << scrape.body;
    // Drops of one datagram are no gap in the data: the estimate is what the counters show.
    EXPECT_NEAR(scrape.seriesValue("zephyrscope_lost_packets_estimate_total").value_or(-1), tsDropped,
                tsDropped * 0.1)
        << scrape.body;
    EXPECT_EQ(errorsOfKind("continuity_count"), static_cast<double>(counts.continuityGapsShown))
        << scrape.body;
    EXPECT_EQ(errorsOfKind("sync_loss"), 0.0) << scrape.body;
    EXPECT_EQ(errorsOfKind("pat"), 0.0) << scrape.body;
    EXPECT_NE(scrape.body.find("protocol=\"UDP\""), std::string::npos) << scrape.body;
    EXPECT_EQ(scrape.body.find("zephyrscope_video_width_pixels{") == std::string::npos, transportOnly) << scrape.body;
    EXPECT_TRUE(scrape.seriesValue("zephyrscope_frame_rate_frames_per_second").has_value()) << scrape.body;
    ExpectPromtoolFindsNothing(scrape.body);

    const ProgramResult result = run.finish(60000);
    EXPECT_EQ(result.exitStatus, 4) << result.stderrText;
    EXPECT_NE(result.stderrText.find("no data for 3 s"), std::string::npos) << result.stderrText;

    const StatisticsLog log = readWellFormedLog(logPath);
    ASSERT_EQ(log.media.size(), 1u);
    bool played = false;
    int stalledAfterPlaying = 0;
    std::int32_t lastLost = -1;
    std::vector<double> rates;
    for (const auto& s : log.samples) {
        if (s.isPlaying()) {
            played = true;
            EXPECT_EQ(columnOf(s.network.protocol), "UDP");
            rates.push_back(s.fps);
        } else if (played && s.isStalled()) {
            ++stalledAfterPlaying;
        }
        lastLost = s.network.lostPackets;
    }
    EXPECT_TRUE(played);
    EXPECT_GE(stalledAfterPlaying, 2) << zephyrscope::testing::FileText(logPath);
    EXPECT_NEAR(lastLost, tsDropped, tsDropped * 0.01 + 0.5);
    // The sender's 25 fps less what the loss took, decoded or parsed: every
    // 40th datagram, of about four a frame, damages about one frame in ten,
    // which the decoder or the demuxer drops (22.8 decoding, 21.9 parsed in one run).
    ASSERT_FALSE(rates.empty());
    std::nth_element(rates.begin(), rates.begin() + rates.size() / 2, rates.end());
    EXPECT_NEAR(rates[rates.size() / 2], 22.5, 2.5) << zephyrscope::testing::FileText(logPath);
    EXPECT_EQ(log.media[0].width, 320);

    // The JSON log's last tick of the entry holds the same stream errors, and the report reads them.
    const StatisticsLog jsonLog = JsonLogReader::fromAnyFile((media.dir() / "udp.jsonl").string());
    EXPECT_TRUE(jsonLog.problems.empty());
    std::optional<TsErrorCounts> lastCounts;
    for (const auto& s : jsonLog.samples)
        if (s.tsErrors)
            lastCounts = s.tsErrors;
    ASSERT_TRUE(lastCounts) << zephyrscope::testing::FileText(media.dir() / "udp.jsonl");
    EXPECT_EQ(static_cast<double>(lastCounts->continuity), errorsOfKind("continuity_count").value_or(-1));
    EXPECT_EQ(lastCounts->continuity, counts.continuityGapsShown);
    const RunSummary summary = Summarize(jsonLog);
    ASSERT_TRUE(summary.run.tsErrors);
    EXPECT_EQ(*summary.run.tsErrors, *lastCounts);
    // The sender's silence is one stall, dated back to the picture stopping (the
    // state says Buffering once no data came for 1 s and the picture has stood
    // still for half a second, as the watch looks every 100 ms: 0.5 to 1.1 s after
    // the picture stopped, which lags the data by the pipeline's latency: 0.3 to
    // 0.6 s decoding, 30 to 50 ms parsed alone), and never over: it lasts to the
    // entry's end, 3 s after the last data.
    std::vector<LogEvent> stalls;
    for (const LogEvent& e : jsonLog.events)
        if (e.kind == LogEvent::Kind::StallStarted || e.kind == LogEvent::Kind::StallEnded)
            stalls.push_back(e);
    ASSERT_EQ(stalls.size(), 2u) << zephyrscope::testing::FileText(media.dir() / "udp.jsonl");
    const double stoppedUtc = stalls[1].utc - static_cast<double>(stalls[1].durationMs) / 1000.0;
    EXPECT_GE(stalls[0].utc - stoppedUtc, 0.4);
    EXPECT_LE(stalls[0].utc - stoppedUtc, 1.1);
    EXPECT_GE(stalls[1].utc - stalls[0].utc, 1.2);
    const std::string jsonText = zephyrscope::testing::FileText(media.dir() / "udp.jsonl");
    EXPECT_EQ(jsonText.find("\"video_width\":320") == std::string::npos, transportOnly);
    EXPECT_EQ(jsonText.find("\"video_width\":null") != std::string::npos, transportOnly);
    // The frames after those the loss took, to the next key frame, were shown
    // damaged; parsed alone, nothing was shown to be.
    EXPECT_EQ(jsonText.find("\"damaged_frames\":null") != std::string::npos, transportOnly);
    EXPECT_EQ(jsonText.find("\"event\":\"damage_ended\"") == std::string::npos, transportOnly);
    EXPECT_EQ(summary.run.damaged.lengthsMs.empty(), transportOnly);
    const std::optional<double> damagedFrames = scrape.seriesValue("zephyrscope_damaged_frames_total");
    EXPECT_EQ(damagedFrames.has_value(), !transportOnly) << scrape.body;
    if (damagedFrames) {
        EXPECT_GT(*damagedFrames, 0.0) << scrape.body;
    }
}

INSTANTIATE_TEST_SUITE_P(Modes, ProgramTransportModeTest, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& info) {
                             return info.param ? std::string("TransportOnly") : std::string("Decoding");
                         });

// A UDP stream whose sender starts 3 s after the program listens, whose relay
// passes nothing for 2.0 s while it plays, and whose sender then stops: a start
// of at least 3 s, and two stalls, the outage's and the one that lasts to the
// entry's end. The relay's measured outage G is the truth: the picture stands
// still between G and 2 (G - 800) + 80 ms (PlayerBroadcastTest works it out).
// The report's session, score and P.1203 input follow them exactly.
TEST_F(ProgramPlaybackTest, UdpStreamThroughARelayThatBlacksOutTwoSecondsScoresAndListsItsStallsAsTheFormulaSays)
{
    using zephyrscope::testing::BroadcastTestSender;
    using zephyrscope::tools::TsDropRelay;
    const std::uint16_t port = BroadcastTestSender::freePortPair();
    TsDropRelay::Options options;
    options.targetPort = port;
    TsDropRelay relay(options);
    const std::string url = "udp://127.0.0.1:" + std::to_string(port);
    ProgramProcess run({media.dir(),
                        {"--json-log=outage.jsonl", "--no-data-timeout=5", QString::fromStdString(url), "outage.dat"}});
    ASSERT_TRUE(run.start());
    ASSERT_TRUE(run.waitUntil([port] { return BroadcastTestSender::portTaken(port); }, 20000)) << run.stderrSoFar();
    // The entry was opened before its port was taken: its start is at least this hold.
    const auto listening = std::chrono::steady_clock::now();
    run.waitUntil([] { return false; }, 3000);
    const double heldSeconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - listening).count();
    // Every frame a key frame: the decoder waits for none after the outage.
    BroadcastTestSender sender(BroadcastTestSender::Transport::Udp, "127.0.0.1", relay.port(), 90.0, 1);
    sender.start();
    const fs::path logPath = media.dir() / "outage.dat";
    ASSERT_TRUE(run.waitUntil([&] { return playingLines(logPath) >= 6; }, 30000)) << run.stderrSoFar();
    relay.blackout(std::chrono::milliseconds(2000));
    ASSERT_TRUE(run.waitUntil([&] { return relay.counts().blackoutToWallUs > 0; }, 10000));
    const int playedBefore = playingLines(logPath);
    ASSERT_TRUE(run.waitUntil([&] { return playingLines(logPath) >= playedBefore + 8; }, 20000))
        << run.stderrSoFar();
    sender.pause();
    const ProgramResult result = run.finish(60000);
    EXPECT_EQ(result.exitStatus, 4) << result.stderrText;
    const TsDropRelay::Counts counts = relay.counts();
    const double outageMs = static_cast<double>(counts.blackoutToWallUs - counts.blackoutFromWallUs) / 1000.0;

    const fs::path jsonPath = media.dir() / "outage.jsonl";
    const StatisticsLog log = JsonLogReader::fromAnyFile(jsonPath.string());
    EXPECT_TRUE(log.problems.empty());
    const RunSummary summary = Summarize(log);
    ASSERT_EQ(summary.clips.size(), 1u);
    const Figures& f = summary.clips[0].figures;
    ASSERT_EQ(f.stallMs.size(), 2u) << zephyrscope::testing::FileText(jsonPath);
    const double stallMs = static_cast<double>(f.stallMs[0]);
    std::ostringstream measured;
    measured << "outage " << outageMs << " ms, stall " << stallMs << " ms, then " << f.stallMs[1]
             << " ms to the end; start-up " << f.firstFrameMs.value_or(-1) << " ms";
    EXPECT_GE(outageMs, 2000.0);
    EXPECT_GE(stallMs, outageMs - 50) << measured.str();
    EXPECT_LE(stallMs, 2 * (outageMs - 800) + 80 + 50) << measured.str();

    // The session: both stalls, the start-up, a picture that never changed size.
    const SessionMetrics& m = f.session;
    EXPECT_EQ(m.rebufferingCount, 2);
    EXPECT_NEAR(m.rebufferingSeconds, (f.stallMs[0] + f.stallMs[1]) / 1000.0, 1e-9);
    EXPECT_EQ(m.videoStartFailures + m.exitsBeforeVideoStart, 0);
    EXPECT_EQ(m.playbackFailures, 1); // the sender's silence failed the entry after it played
    ASSERT_TRUE(m.videoStartSeconds);
    EXPECT_GE(*m.videoStartSeconds, heldSeconds);
    EXPECT_LE(*m.videoStartSeconds, heldSeconds + 4.0);
    EXPECT_DOUBLE_EQ(m.inputs.resolutionRatio, 1.0);
    EXPECT_DOUBLE_EQ(m.inputs.bitRateRatio, 1.0);
    // Every frame a key frame: the outage took whole frames, and the first after
    // it needed none of them, so nothing was shown damaged.
    EXPECT_TRUE(f.damaged.lengthsMs.empty()) << zephyrscope::testing::FileText(jsonPath);
    EXPECT_EQ(m.inputs.damageStretches, 0);
    const QoeInputs stallsAsMeasured {true, *m.videoStartSeconds, 2, m.rebufferingSeconds};
    EXPECT_NEAR(m.score.score, ScoreSession(stallsAsMeasured).score, 1e-9);
    const QoeInputs withoutOutage {true, *m.videoStartSeconds, 1, f.stallMs[1] / 1000.0};
    const QoeInputs noStall {true, *m.videoStartSeconds, 0, 0.0};
    const QoeInputs unheld {true, *m.videoStartSeconds - heldSeconds, 2, m.rebufferingSeconds};
    measured << "; held " << heldSeconds << " s; score " << m.score.score << ", without the outage's stall "
             << ScoreSession(withoutOutage).score << ", without any stall " << ScoreSession(noStall).score
             << ", without the hold " << ScoreSession(unheld).score;
    RecordProperty("measured", measured.str());
    std::printf("measured: %s\n", measured.str().c_str());
    EXPECT_LT(m.score.score, ScoreSession(withoutOutage).score);
    EXPECT_LT(m.score.score, ScoreSession(unheld).score);

    // The report program's P.1203 input lists the start-up and both stalls, to the millisecond.
    const fs::path p1203Path = media.dir() / "outage-p1203.json";
    const zephyrscope::testing::ToolRun report = zephyrscope::testing::runTool(
        ZEPHYRSCOPE_REPORT, {QString::fromStdString(jsonPath.string()), "--json", "--p1203-input",
                             QString::fromStdString(p1203Path.string())}, "");
    EXPECT_EQ(report.exitStatus, 0) << report.output;
    const QJsonObject session = QJsonDocument::fromJson(QByteArray::fromStdString(report.output))
                                    .object()["clips"].toArray()[0].toObject()["figures"].toObject()["session"]
                                    .toObject();
    EXPECT_EQ(session["rebuffering_count"].toInt(), 2) << report.output;
    EXPECT_NEAR(session["qoe_score"].toDouble(), m.score.score, 1e-6);
    const QJsonArray stalling = QJsonDocument::fromJson(QByteArray::fromStdString(
                                                            zephyrscope::testing::FileText(p1203Path)))
                                    .object()["I23"].toObject()["stalling"].toArray();
    std::printf("P.1203 stalling: %s\n", QJsonDocument(stalling).toJson(QJsonDocument::Compact).constData());
    ASSERT_EQ(stalling.size(), 3) << zephyrscope::testing::FileText(p1203Path);
    EXPECT_EQ(stalling[0].toArray()[0].toDouble(), 0.0);
    EXPECT_NEAR(stalling[0].toArray()[1].toDouble(), *m.videoStartSeconds, 1e-6);
    EXPECT_NEAR(stalling[1].toArray()[1].toDouble(), stallMs / 1000.0, 1e-6);
    EXPECT_NEAR(stalling[2].toArray()[1].toDouble(), f.stallMs[1] / 1000.0, 1e-6);
    // The outage came after 6 to 8 ticks in Playing; the media time is the time played before it.
    EXPECT_GE(stalling[1].toArray()[0].toDouble(), 2.5);
    EXPECT_LE(stalling[1].toArray()[0].toDouble(), 6.0);
}

// librist's own sender through a relay that drops the first copy of every 40th
// packet, which librist retransmits: the log's counts never fall, and its last
// line, after the sender stopped and the entry ended, holds the entry's totals.
TEST_F(ProgramPlaybackTest, LibRistStreamThroughARepairingRelayLogsItsTotalsOnTheEntrysLastLine)
{
    using zephyrscope::testing::BroadcastTestSender;
    using zephyrscope::tools::TsDropRelay;
    const std::uint16_t port = BroadcastTestSender::freePortPair();
    TsDropRelay::Options options;
    options.targetPort = port;
    options.dropEvery = 40;
    options.framing = TsDropRelay::Framing::Rtp;
    options.rtcp = true;
    TsDropRelay relay(options);
    const std::string url = "rist://127.0.0.1:" + std::to_string(port);
    ProgramProcess run({media.dir(), {"--no-data-timeout=3", QString::fromStdString(url), "rist.dat"}});
    ASSERT_TRUE(run.start()) << run.stderrSoFar();
    ASSERT_TRUE(run.waitUntil([port] { return BroadcastTestSender::portTaken(port); }, 20000)) << run.stderrSoFar();
    BroadcastTestSender sender(BroadcastTestSender::Transport::LibRist, "127.0.0.1", relay.port(), 10.0);
    sender.start();
    const ProgramResult result = run.finish(90000);
    EXPECT_EQ(result.exitStatus, 4) << result.stderrText;
    const TsDropRelay::Counts counts = relay.counts();

    const fs::path logPath = media.dir() / "rist.dat";
    const StatisticsLog log = readWellFormedLog(logPath);
    ASSERT_EQ(log.media.size(), 1u);
    ASSERT_FALSE(log.samples.empty());
    const LogSample& last = log.samples.back();
    SCOPED_TRACE("relay: forwarded " + std::to_string(counts.forwarded) + " dropped " + std::to_string(counts.dropped)
                 + " repaired " + std::to_string(counts.repaired) + " never forwarded "
                 + std::to_string(counts.neverForwarded));
    ASSERT_GT(counts.dropped, 10u);
    EXPECT_EQ(columnOf(last.network.protocol), "RIST");
    EXPECT_EQ(last.network.recoveredPackets, static_cast<std::int32_t>(counts.repaired))
        << zephyrscope::testing::FileText(logPath);
    EXPECT_EQ(last.network.lostPackets, static_cast<std::int32_t>(counts.neverForwarded))
        << zephyrscope::testing::FileText(logPath);
    EXPECT_EQ(last.network.receivedPackets, static_cast<std::int32_t>(counts.forwarded))
        << zephyrscope::testing::FileText(logPath);
}

TEST_F(ProgramPlaybackTest, WhepSessionTheServerEndsServesItsLossEndsTheRunWithStatus4AndIsDeleted)
{
    // No retransmission offered: what the server drops is lost (the receiver asks for it all the same).
    // The endpoint wants a bearer token: the one on the command line reaches the WHEP source.
    zephyrscope::testing::WhepServerProcess server(
        {"--token", "s3cret", "--drop-every", "20", "--end-after", "6", "--lifetime", "60"});
    const std::string url = server.url();
    ProgramProcess run({media.dir(),
                        {"--metrics=127.0.0.1:0", "--json-log=whep.jsonl", "--bearer-token=s3cret",
                         QString::fromStdString(url), "whep.dat"}});
    const int metricsPort = startAndReadMetricsPort(run);
    ASSERT_GT(metricsPort, 0) << run.stderrSoFar();
    // The server stops sending after 6 s; its counts are final then. The entry
    // goes on for the 4 s of silence that end it: a scrape 2 s after the end
    // holds the figures of every packet (statistics are asked for once a second).
    ASSERT_TRUE(server.waitForLine("END ", std::chrono::seconds(40))) << run.stderrSoFar();
    const auto sent = server.lastCounts();
    run.waitUntil([&] { return !run.running(); }, 2000);
    const zephyrscope::testing::HttpResponse scrape = zephyrscope::testing::httpRequest(metricsPort, "GET", "/metrics");
    ASSERT_EQ(scrape.status, 200) << run.stderrSoFar();
    const double lost = scrape.seriesValue("zephyrscope_lost_packets_total").value_or(-1);
    const double nacks = scrape.seriesValue("zephyrscope_webrtc_nacks_sent_total").value_or(-1);
    std::printf("[ observed ] WHEP metrics: lost %g, NACKs %g, recovered %g, jitter %g s, jitter buffer %g s, "
                "PLIs %g; server dropped %llu, got %llu NACKs\n",
                lost, nacks, scrape.seriesValue("zephyrscope_recovered_packets_total").value_or(-1),
                scrape.seriesValue("zephyrscope_webrtc_jitter_seconds").value_or(-1),
                scrape.seriesValue("zephyrscope_webrtc_jitter_buffer_delay_seconds").value_or(-1),
                scrape.seriesValue("zephyrscope_webrtc_plis_sent_total").value_or(-1),
                static_cast<unsigned long long>(sent.videoDropped), static_cast<unsigned long long>(sent.nacksReceived));
    ASSERT_GT(sent.videoDropped, 5u);
    EXPECT_NEAR(lost, static_cast<double>(sent.videoDropped), 1.0) << scrape.body;
    EXPECT_EQ(scrape.seriesValue("zephyrscope_recovered_packets_total"), 0.0) << scrape.body;
    EXPECT_EQ(scrape.seriesValue("zephyrscope_webrtc_jitter_buffer_delay_seconds"), 0.5) << scrape.body;
    EXPECT_EQ(scrape.seriesValue("zephyrscope_webrtc_rtt_seconds"), 0.0) << "no repair, no round trip\n" << scrape.body;
    EXPECT_GT(scrape.seriesValue("zephyrscope_webrtc_jitter_seconds").value_or(0), 0.0) << scrape.body;
    EXPECT_LT(scrape.seriesValue("zephyrscope_webrtc_jitter_seconds").value_or(1), 0.1) << scrape.body;
    EXPECT_NE(scrape.body.find("protocol=\"WebRTC\"}"), std::string::npos) << scrape.body;
    ExpectPromtoolFindsNothing(scrape.body);

    const ProgramResult result = run.finish(60000);
    EXPECT_TRUE(server.waitForLine("DELETE /session/", std::chrono::seconds(5))) << "the session was not ended";
    server.finish();
    EXPECT_TRUE(server.logged("POST /whep/test 201")) << "the offer was not taken";
    const auto counts = server.lastCounts();
    EXPECT_EQ(result.exitStatus, 4) << result.stderrText;
    EXPECT_NE(result.stderrText.find("Cannot play '" + url + "': connection lost after "), std::string::npos)
        << result.stderrText;
    EXPECT_NE(result.stderrText.find("s of play: the server ended the WebRTC session"), std::string::npos)
        << result.stderrText;
    // The server takes NACKs in until the session is DELETEd: its count is final now.
    std::printf("[ observed ] WHEP NACKs: %g sent, the server got %llu\n", nacks,
                static_cast<unsigned long long>(counts.nacksReceived));
    EXPECT_EQ(nacks, static_cast<double>(counts.nacksReceived)) << scrape.body;
    // The JSON log's last WebRTC tick holds the same count.
    const std::string jsonLog = zephyrscope::testing::FileText(media.dir() / "whep.jsonl");
    const std::size_t lastNacks = jsonLog.rfind("\"nacks_sent\":");
    ASSERT_NE(lastNacks, std::string::npos) << jsonLog;
    EXPECT_EQ(std::atoll(jsonLog.c_str() + lastNacks + 13), static_cast<long long>(counts.nacksReceived));

    const StatisticsLog log = readWellFormedLog(media.dir() / "whep.dat");
    ASSERT_EQ(log.media.size(), 1u);
    EXPECT_EQ(log.media[0].width, 320);
    EXPECT_EQ(log.media[0].height, 240);
    const std::vector<LogSample> playing = steadyPlaying(log.samples);
    ASSERT_GE(playing.size(), 4u);
    for (const auto& s : playing)
        EXPECT_EQ(columnOf(s.network.protocol), "WebRTC");
    // The last sample has every loss.
    EXPECT_NEAR(log.samples.back().network.lostPackets, static_cast<double>(counts.videoDropped), 1.0);
    EXPECT_EQ(log.samples.back().network.recoveredPackets, 0);
    EXPECT_GT(log.samples.back().network.receivedPackets, static_cast<std::int32_t>(counts.videoSent));
}

TEST_F(ProgramPlaybackTest, WhepEndpointsThatRefuseEndTheRunWithStatus3AndSayWhy)
{
    zephyrscope::testing::WhepServerProcess open({"--lifetime", "60"});
    zephyrscope::testing::WhepServerProcess guarded({"--token", "s3cret", "--lifetime", "60"});
    const std::string absent = open.url("/whep/absent");
    const std::string unauthorised = guarded.url();
    media.write("whep.m3u", "#EXTM3U\n" + absent + "\n" + unauthorised + "\n");
    const ProgramResult result = runProgram(media.dir(), {"whep.m3u", "refused.dat"});
    std::printf("[ observed ] refused WHEP endpoints: status %d after %.1f s\n", result.exitStatus, result.seconds);
    EXPECT_EQ(result.exitStatus, 3) << result.stderrText;
    EXPECT_NE(result.stderrText.find("Cannot play '" + absent + "': Cannot open WHEP endpoint '" + absent.substr(5)
                                     + "': 404 Not Found: No such stream: /whep/absent\n"),
              std::string::npos)
        << result.stderrText;
    EXPECT_NE(result.stderrText.find("Cannot play '" + unauthorised + "': Cannot open WHEP endpoint '"
                                     + unauthorised.substr(5)
                                     + "': 401 Unauthorized: Unauthorized: a valid bearer token is needed\n"),
              std::string::npos)
        << result.stderrText;
    open.finish();
    guarded.finish();
    EXPECT_TRUE(open.logged("POST /whep/absent 404"));
    EXPECT_TRUE(guarded.logged("POST /whep/test 401"));
}

// What the viewer got, end to end: a 4-s clip whose picture is black from 1 s
// to 2 s and still from 2 s to 3 s, and whose sound is silent from 1.5 s to
// 3 s, written to the JSON Lines log as one stretch of each with its length,
// and ticks with the loudness and A/V offset fields (no sync pattern: null);
// the options set the minimum lengths.
TEST_F(ProgramPlaybackTest, BlackStillAndSilentStretchesOfAClipReachTheJsonLog)
{
    const std::string video = " ! video/x-raw,width=320,height=240,framerate=25/1,format=I420 ! v.";
    const std::string audio = " samplesperbuffer=480 ! audio/x-raw,rate=48000,channels=2,format=S16LE ! a.";
    media.makeLaunched(
        "content.mkv",
        "concat name=v ! videoconvert ! x264enc speed-preset=ultrafast key-int-max=1000 ! h264parse ! matroskamux name=m"
        " ! filesink location={file}"
        " videotestsrc pattern=smpte75 horizontal-speed=4 num-buffers=25" + video
        + " videotestsrc pattern=black num-buffers=25" + video
        + " videotestsrc pattern=smpte75 num-buffers=25" + video
        // Another pattern: a scroll starts from the still picture, which would still it a frame longer.
        + " videotestsrc pattern=colors horizontal-speed=4 num-buffers=25" + video
        + " concat name=a ! audioconvert ! m."
          " audiotestsrc wave=sine freq=440 volume=0.5 num-buffers=150" + audio
        + " audiotestsrc wave=silence num-buffers=150" + audio
        + " audiotestsrc wave=sine freq=440 volume=0.5 num-buffers=100" + audio);
    const ProgramResult run = ProgramProcess::run(
        {media.dir(), {"--json-log=content.jsonl", "--black-min=600", "--freeze-min=600", "--silence-min=600",
                       "content.mkv", "content.dat"}});
    EXPECT_EQ(run.exitStatus, 0) << run.stderrText;
    const std::string text = zephyrscope::testing::FileText(media.dir() / "content.jsonl");
    const auto lineOf = [&text](const std::string& event) {
        const std::size_t at = text.find("\"event\":\"" + event + "\"");
        EXPECT_EQ(text.find("\"event\":\"" + event + "\"", at + 1), std::string::npos) << event << " twice";
        return at == std::string::npos ? std::string() : text.substr(text.rfind('\n', at) + 1, text.find('\n', at) - text.rfind('\n', at));
    };
    const auto field = [](const std::string& line, const std::string& key) {
        const std::size_t at = line.find("\"" + key + "\":");
        return at == std::string::npos ? -1.0 : std::atof(line.c_str() + at + key.size() + 3);
    };
    for (const auto& [kind, lengthMs] : {std::pair {"black", 1000.0}, std::pair {"freeze", 1000.0},
                                          std::pair {"silence", 1500.0}}) {
        const std::string started = lineOf(std::string(kind) + "_started");
        const std::string ended = lineOf(std::string(kind) + "_ended");
        ASSERT_FALSE(started.empty()) << kind << "\n" << text;
        ASSERT_FALSE(ended.empty()) << kind << "\n" << text;
        std::printf("[ measured ] %s: %.0f ms (clip: %.0f), found after %.0f ms\n", kind, field(ended, "duration_ms"),
                    lengthMs, field(started, "duration_ms"));
        EXPECT_NEAR(field(ended, "duration_ms"), lengthMs, 40.0) << ended;
        EXPECT_GE(field(started, "duration_ms"), 600.0) << started;
        EXPECT_EQ(field(ended, "since_wall_ms"), field(started, "wall_ms")) << started << ended;
    }
    EXPECT_NEAR(field(lineOf("silence_started"), "wall_ms") - field(lineOf("black_started"), "wall_ms"), 500.0, 40.0)
        << "the silence began half a second after the black";
    for (const char* key : {"\"loudness_momentary_lufs\":", "\"loudness_shortterm_lufs\":",
                            "\"loudness_integrated_lufs\":-", "\"true_peak_dbtp\":-", "\"av_offset_ms\":null",
                            "\"black_s\":", "\"silence_s\":"})
        EXPECT_NE(text.find(key), std::string::npos) << key;
}

// Measurement accuracy against ground truth this program controls. The player
// layer is driven directly on a GLib main loop (no countdown), and every figure
// is read by the real sampler from the real player into a real log, which is read
// back with the report's log reader: the figures are those a log would hold.
//
//   Frame_Rate  clips encoded at 25, 30 and 60 fps; truth: the encoded rate
//   Lost_Pkts   the RTSP test server dropping every 100th, 20th and 5th RTP
//               packet; truth: the server's own count of dropped packets, less
//               those after the last packet it delivered (no sequence number
//               follows them, so no receiver can know they were sent)
//   Bit_Rate    the HTTP test server sending at a fixed rate below the clip's;
//               truth: the body bytes the server really wrote, counted by the
//               server and read at each tick, over the same ~1 s window
//   BufCount    the HTTP test server stopping for longer than the player's buffer
//               holds, a known number of times; truth: those stalls plus the
//               initial fill (BufCount counts every time buffering began)
//   SRT         a live SRT stream through a UDP relay that drops every 50th and
//               20th first transmission, or blacks out for 2 s; truth: the
//               relay's counts (dropped, retransmissions passed, sequence
//               numbers never passed, data bytes passed)
//   HLS         a three-variant ladder served at 2 Mbit/s, then 600 kbit/s;
//               truth: the server's log of what it sent: the variants in order
//               (against BandWidth and the report's switches), the segments
//               answered (against Received_Pkts), the bytes in each tick's
//               second (against Bit_Rate)
//   DASH        the same ladder as fragmented MP4 under an MPD, the same truth
//               (the init segments count as segments: they are downloaded)
//
// bench_accuracy [--only framerate|loss|bitrate|stalls|srt|hls|dash] [--work DIR]
#include "CWMPPlayer4.h"
#include "EventRecorder.h"
#include "HttpTestServer.h"
#include "LogFile.h"
#include "LogReader.h"
#include "MainLoopWait.h"
#include "MediaFactory.h"
#include "PlayState.h"
#include "PlaybackValues.h"
#include "Protocol.h"
#include "RunSummary.h"
#include "RtspServerProcess.h"
#include "Sampler.h"
#include "SrtTestSender.h"
#include "SystemClock.h"
#include "TextDisplay.h"
#include "UdpRelay.h"

#include <glib.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

using namespace zephyrscope;
using namespace zephyrscope::testing;
using namespace zephyrscope::report;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

constexpr guint kSamplePeriodMs = 500;
constexpr double kTargetFrameRatePercent = 1.0;
constexpr double kTargetBitRatePercent = 3.0;
constexpr double kTargetAdaptiveBitRatePercent = 5.0;

const char* verdict(bool met)
{
    return met ? "met" : "MISSED";
}

class NullDisplay final : public TextDisplay {
public:
    void setText(const std::string&) override {}
};

// A player sampled every 500 ms into a log, as the main dialog does it: the play
// start clock set at Playing, the time base restarted at MediaEnded. One more
// sample is taken at MediaEnded, the last moment the entry's figures are live.
class SampledRun {
public:
    explicit SampledRun(const fs::path& logPath)
        : m_logPath(logPath)
    {
        m_log.create(logPath.string());
        m_player = std::make_unique<CWMPPlayer4>();
        m_player->setFakeSinks(true);
        m_sampler = std::make_unique<Sampler>(m_clock, *m_player, m_log, m_fps, m_values);
        m_events.onEvent = [this](const std::string& event) {
            if (event == "play 3")
                m_values.m_playStartClock = m_clock.processClock();
            if (event == "play 8") {
                tick();
                m_endLines.push_back(m_lines);
                m_values.m_restartClock = 1;
            }
        };
        m_player->setEventSink(&m_events);
    }

    ~SampledRun()
    {
        stopTimer();
        m_player->setEventSink(nullptr);
        m_player.reset();
        RunMainLoopFor(50ms);
    }

    // Called after each sample, for truth taken at the same moment.
    std::function<void()> afterTick;

    void start(const std::string& url)
    {
        m_player->putURL(url);
        m_timer = g_timeout_source_new(kSamplePeriodMs);
        g_source_set_callback(m_timer, &SampledRun::onTimer, this, nullptr);
        g_source_attach(m_timer, nullptr);
    }

    bool runUntilReady(std::chrono::milliseconds timeout)
    {
        const bool ready = RunMainLoopUntil([this] { return m_events.has("play 10"); }, timeout);
        stopTimer();
        return ready;
    }

    void runFor(std::chrono::milliseconds duration)
    {
        RunMainLoopFor(duration);
        stopTimer();
    }

    StatisticsLog read() const { return LogReader::fromFile(m_logPath.string()); }
    // Sample lines (1-based among the samples) written at each MediaEnded.
    const std::vector<int>& endSamples() const { return m_endLines; }
    const EventRecorder& events() const { return m_events; }

private:
    static gboolean onTimer(gpointer self)
    {
        try {
            static_cast<SampledRun*>(self)->tick();
        } catch (const std::exception& e) {
            std::fprintf(stderr, "sample failed: %s\n", e.what());
        }
        return G_SOURCE_CONTINUE;
    }

    void tick()
    {
        m_sampler->OnTimer();
        ++m_lines;
        if (afterTick)
            afterTick();
    }

    void stopTimer()
    {
        if (m_timer) {
            g_source_destroy(m_timer);
            g_source_unref(m_timer);
            m_timer = nullptr;
        }
    }

    fs::path m_logPath;
    SystemClock m_clock;
    LogFile m_log;
    NullDisplay m_fps;
    PlaybackValues m_values;
    EventRecorder m_events;
    std::unique_ptr<CWMPPlayer4> m_player;
    std::unique_ptr<Sampler> m_sampler;
    GSource* m_timer = nullptr;
    int m_lines = 0;
    std::vector<int> m_endLines;
};

// Playing samples at least a second after Playing began and before the last
// one of the entry: the frame-rate window is full and the end does not cut it.
std::vector<LogSample> steadyPlaying(const std::vector<LogSample>& samples)
{
    std::vector<LogSample> steady;
    double since = 0.0;
    for (std::size_t i = 0; i < samples.size(); ++i) {
        if (!samples[i].isPlaying())
            continue;
        if (i == 0 || !samples[i - 1].isPlaying())
            since = samples[i].utc();
        const bool last = i + 1 == samples.size() || !samples[i + 1].isPlaying();
        if (!last && samples[i].utc() - since >= 1.0)
            steady.push_back(samples[i]);
    }
    return steady;
}

struct Context {
    fs::path work;
    MediaFactory media;
};

bool frameRates(Context& c)
{
    bool allMet = true;
    std::printf("Frame_Rate against the encoded rate (640x360 H.264, 10 s each; steady Playing samples)\n");
    for (int fps : {25, 30, 60}) {
        MediaFactory::Clip clip;
        clip.width = 640;
        clip.height = 360;
        clip.fps = fps;
        clip.seconds = 10.0;
        clip.videoBitrateKbps = 800;
        const fs::path file = c.media.make("rate" + std::to_string(fps) + ".mkv", clip);
        SampledRun run(c.work / ("framerate" + std::to_string(fps) + ".dat"));
        run.start(file.string());
        if (!run.runUntilReady(40s)) {
            std::printf("  %d fps: the clip did not play to its end (%s)\n", fps, run.events().sequence().c_str());
            allMet = false;
            continue;
        }
        const StatisticsLog log = run.read();
        const auto steady = steadyPlaying(log.samples);
        if (steady.empty()) {
            std::printf("  %d fps: no steady Playing sample\n", fps);
            allMet = false;
            continue;
        }
        double sum = 0.0, worst = 0.0;
        for (const auto& s : steady) {
            sum += s.fps;
            worst = std::max(worst, std::fabs(s.fps - fps) / fps * 100.0);
        }
        const double mean = sum / static_cast<double>(steady.size());
        const double meanError = (mean - fps) / fps * 100.0;
        const bool met = worst <= kTargetFrameRatePercent;
        allMet = allMet && met;
        std::printf("  %2d fps: %zu samples, mean %.3f (%+.2f %%), worst sample %.2f %% off, Fr_Skipped %d, "
                    "Rncode_Fr %d   [target 1 %%: %s]\n",
                    fps, steady.size(), mean, meanError, worst, log.samples.back().network.framesSkipped,
                    steady.front().network.encodedFrameRate, verdict(met));
    }
    return allMet;
}

bool lostPackets(Context& c)
{
    bool allMet = true;
    std::printf("Lost_Pkts against the RTSP server's dropped packets (RTSP over UDP, 320x240 25 fps, 10 s)\n");
    for (int every : {100, 20, 5}) {
        RtspServerProcess server(ZEPHYRSCOPE_RTSP_SERVER,
                                 {"--seconds", "10", "--drop-every", std::to_string(every), "--timeout", "90"});
        SampledRun run(c.work / ("loss" + std::to_string(every) + ".dat"));
        run.start(server.url("rtsp"));
        const bool ended = run.runUntilReady(60s);
        const auto truth = server.finish();
        const StatisticsLog log = run.read();
        if (!ended || run.endSamples().empty() || log.samples.empty()) {
            std::printf("  1 in %d: the stream did not play to its end (%s)\n", every, run.events().sequence().c_str());
            allMet = false;
            continue;
        }
        const LogSample& atEnd = log.samples[static_cast<std::size_t>(run.endSamples().back() - 1)];
        const LogSample& lastTick = log.samples[static_cast<std::size_t>(std::max(0, run.endSamples().back() - 2))];
        const auto detectable = truth.dropped - truth.trailingDropped;
        const bool met = atEnd.network.lostPackets == static_cast<std::int32_t>(detectable);
        allMet = allMet && met;
        std::printf("  %4.1f %% (1 in %3d): server sent %llu, dropped %llu (%llu after the last delivered); "
                    "at MediaEnded Lost_Pkts %d, Received_Pkts %d, Quality %d; last periodic line Lost_Pkts %d"
                    "   [target exact: %s]\n",
                    100.0 / every, every, static_cast<unsigned long long>(truth.sent),
                    static_cast<unsigned long long>(truth.dropped),
                    static_cast<unsigned long long>(truth.trailingDropped), atEnd.network.lostPackets, atEnd.network.receivedPackets,
                    atEnd.network.receptionQuality, lastTick.network.lostPackets, verdict(met));
    }
    return allMet;
}

bool bitRate(Context& c)
{
    // About 1 Mbit/s encoded, sent at 400 kbit/s: the download never waits for the
    // player, so the server's writes are the rate the player receives.
    constexpr long long kRateBytes = 50000;
    MediaFactory::Clip clip;
    clip.width = 640;
    clip.height = 360;
    clip.seconds = 30.0;
    clip.videoBitrateKbps = 1000;
    clip.pattern = "snow";
    const fs::path file = c.media.make("bitrate.mkv", clip);
    HttpTestServer server(file.parent_path());
    server.start();

    struct Truth {
        double time;
        long long bytes;
    };
    std::vector<Truth> truth;
    const auto begin = std::chrono::steady_clock::now();
    SampledRun run(c.work / "bitrate.dat");
    run.afterTick = [&] {
        truth.push_back({std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count(),
                         server.bodyBytesSent()});
    };
    run.start(server.url(file.filename().string() + "?rate=" + std::to_string(kRateBytes)));
    run.runFor(20s);
    const StatisticsLog log = run.read();
    if (log.samples.size() != truth.size() || log.samples.size() < 10) {
        std::printf("Bit_Rate: %zu samples against %zu truth readings\n", log.samples.size(), truth.size());
        return false;
    }
    // From the fifth sample on (2 s in), both windows are full.
    double measured = 0.0, actual = 0.0, worst = 0.0;
    int n = 0;
    for (std::size_t i = 4; i < truth.size(); ++i) {
        const double trueRate = static_cast<double>(truth[i].bytes - truth[i - 2].bytes) * 8.0
            / (truth[i].time - truth[i - 2].time);
        measured += log.samples[i].network.bitRate;
        actual += trueRate;
        if (trueRate > 0.0)
            worst = std::max(worst, std::fabs(log.samples[i].network.bitRate - trueRate) / trueRate * 100.0);
        ++n;
    }
    const double error = (measured - actual) / actual * 100.0;
    const bool met = std::fabs(error) <= kTargetBitRatePercent;
    std::printf("Bit_Rate against the bytes the HTTP server wrote (throttled to %lld bytes/s, 20 s)\n", kRateBytes);
    std::printf("  %d samples: mean Bit_Rate %.0f bit/s, true %.0f bit/s (%+.2f %%); worst sample %.1f %% off; "
                "server wrote %lld bytes in %d requests   [target 3 %%: %s]\n",
                n, measured / n, actual / n, error, worst, truth.back().bytes, server.requestCount(), verdict(met));
    return met;
}

bool bufferingCount(Context& c)
{
    // 25 fps at about 1 Mbit/s, sent at 1.1 times that, stopping for 8 s after
    // every 7 s of clip: each stop outlasts what the 5 s buffer can hold ahead.
    constexpr int kStalls = 3;
    constexpr double kSegmentSeconds = 7.0;
    MediaFactory::Clip clip;
    clip.width = 640;
    clip.height = 360;
    clip.seconds = kSegmentSeconds * (kStalls + 1);
    clip.videoBitrateKbps = 1000;
    clip.pattern = "snow";
    const fs::path file = c.media.make("stalls.mkv", clip);
    const auto size = static_cast<long long>(fs::file_size(file));
    const long long bytesPerSecond = static_cast<long long>(static_cast<double>(size) / clip.seconds);
    const long long every = size / (kStalls + 1) + 1;
    HttpTestServer server(file.parent_path());
    server.start();
    SampledRun run(c.work / "stalls.dat");
    run.start(server.url(file.filename().string() + "?rate=" + std::to_string(bytesPerSecond * 11 / 10)
                         + "&stallEvery=" + std::to_string(every) + "&stallMs=8000"));
    const bool ended = run.runUntilReady(150s);
    const StatisticsLog log = run.read();
    const int stalls = server.stallCount();
    if (!ended || run.endSamples().empty()) {
        std::printf("BufCount: the clip did not play to its end (%s)\n", run.events().sequence().c_str());
        return false;
    }
    const LogSample& atEnd = log.samples[static_cast<std::size_t>(run.endSamples().back() - 1)];
    int bufferingSpells = 0;
    for (std::size_t i = 0; i < log.samples.size(); ++i)
        bufferingSpells += log.samples[i].isStalled() && (i == 0 || !log.samples[i - 1].isStalled());
    const int expected = stalls + 1;
    const bool met = atEnd.network.bufferingCount == expected;
    std::printf("BufCount against forced stalls (HTTP, %.0f s clip at 1.1x its rate, 8 s stops)\n", clip.seconds);
    std::printf("  server stalls %d (+1 initial fill = %d); BufCount at MediaEnded %d; Buffering spells in the log %d; "
                "events %s   [target exact: %s]\n",
                stalls, expected, atEnd.network.bufferingCount, bufferingSpells, run.events().sequence().c_str(),
                verdict(met));
    return met;
}

bool srtFigures(Context& c)
{
    constexpr double kSeconds = 10.0;
    bool allMet = true;
    std::printf("SRT against the relay's counts (live H.264/MPEG-TS about 1 Mbit/s, %.0f s, latency 125 ms)\n",
                kSeconds);
    struct Case {
        int dropEvery;
        bool blackout;
    };
    for (const Case& k : {Case {50, false}, Case {20, false}, Case {0, true}}) {
        SrtTestSender sender(kSeconds);
        sender.start();
        UdpRelay relay(sender.port(), k.dropEvery);
        struct Truth {
            double time;
            UdpRelay::Counts counts;
        };
        std::vector<Truth> truth;
        const auto begin = std::chrono::steady_clock::now();
        const std::string name = k.blackout ? "srt-blackout" : "srt-drop" + std::to_string(k.dropEvery);
        SampledRun run(c.work / (name + ".dat"));
        run.afterTick = [&] {
            truth.push_back(
                {std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count(), relay.counts()});
        };
        run.start("srt://127.0.0.1:" + std::to_string(relay.port()));
        if (k.blackout) {
            RunMainLoopFor(5s);
            relay.blackout(2000ms);
        }
        // The stream's end, and a little more for the last retransmissions.
        run.runFor(std::chrono::milliseconds(static_cast<int>(kSeconds * 1000) + (k.blackout ? 0 : 5000)));
        const StatisticsLog log = run.read();
        const auto counts = relay.counts();
        if (log.samples.size() != truth.size() || log.samples.size() < 10) {
            std::printf("  %s: %zu samples against %zu truth readings (%s)\n", name.c_str(), log.samples.size(),
                        truth.size(), run.events().sequence().c_str());
            allMet = false;
            continue;
        }
        const LogSample& last = log.samples.back();
        // Bit_Rate against the relay's data bytes plus IPv4/UDP headers, over
        // the same ~1 s windows, in steady Playing samples.
        double measured = 0.0, actual = 0.0;
        int n = 0;
        for (std::size_t i = 4; i < truth.size(); ++i) {
            if (!log.samples[i].isPlaying() || !log.samples[i - 2].isPlaying())
                continue;
            const auto& now = truth[i].counts;
            const auto& then = truth[i - 2].counts;
            const double bytes = static_cast<double>(now.dataBytes - then.dataBytes)
                + 28.0 * static_cast<double>(now.dataPackets - then.dataPackets);
            measured += log.samples[i].network.bitRate;
            actual += bytes * 8.0 / (truth[i].time - truth[i - 2].time);
            ++n;
        }
        const double bitRateError = n > 0 && actual > 0.0 ? (measured - actual) / actual * 100.0 : 100.0;
        const std::uint64_t expectedLost = k.blackout ? counts.neverForwarded : 0;
        const std::uint64_t expectedRecovered = k.blackout ? counts.retransmitted : counts.dropped;
        const bool met = std::llabs(static_cast<long long>(last.network.lostPackets) - static_cast<long long>(expectedLost))
                <= 1
            && std::llabs(static_cast<long long>(last.network.recoveredPackets) - static_cast<long long>(expectedRecovered))
                <= 1
            && std::fabs(bitRateError) <= kTargetBitRatePercent;
        allMet = allMet && met;
        std::printf("  %-16s relay: first transmissions %llu, dropped %llu, blacked out %llu, retransmissions "
                    "passed %llu, never passed %llu; log: Received_Pkts %d, Lost_Pkts %d, Recover_Pkts %d, "
                    "Quality %d; mean Bit_Rate %.0f against %.0f bit/s (%+.2f %%, %d samples)   "
                    "[target Lost/Recover +-1, Bit_Rate 3 %%: %s]\n",
                    name.c_str(), static_cast<unsigned long long>(counts.originals),
                    static_cast<unsigned long long>(counts.dropped), static_cast<unsigned long long>(counts.blackedOut),
                    static_cast<unsigned long long>(counts.retransmitted),
                    static_cast<unsigned long long>(counts.neverForwarded), last.network.receivedPackets, last.network.lostPackets,
                    last.network.recoveredPackets, last.network.receptionQuality, n > 0 ? measured / n : 0.0,
                    n > 0 ? actual / n : 0.0, bitRateError, n, verdict(met));
    }
    return allMet;
}

// Which variant (0..2) a path of a ladder ("ladder/v1/seg00002.ts") is of, and
// whether it is a media segment (a DASH init segment counts: it is downloaded).
int ladderVariant(const std::string& path)
{
    const auto slash = path.find_last_of('/');
    return slash != std::string::npos && slash >= 1 ? path[slash - 1] - '0' : -1;
}

bool isLadderSegment(const std::string& path)
{
    const auto dot = path.find_last_of('.');
    const std::string ext = dot == std::string::npos ? "" : path.substr(dot);
    return ext == ".ts" || ext == ".m4s" || ext == ".mp4";
}

// An adaptive ladder (HLS or DASH) against the server's log of what it sent.
bool adaptiveLadder(Context& c, bool dash)
{
    constexpr std::int32_t kDeclaredBps[] = {500000, 920000, 1670000};
    const char* name = dash ? "DASH" : "HLS";
    const fs::path manifest = dash ? c.media.makeDashLadder("dash", 20.0) : c.media.makeHlsLadder("ladder", 20.0);
    HttpTestServer server(c.media.dir());
    server.start();
    std::vector<std::chrono::steady_clock::time_point> tickTimes;
    SampledRun run(c.work / (dash ? "dash.dat" : "hls.dat"));
    run.afterTick = [&] { tickTimes.push_back(std::chrono::steady_clock::now()); };
    server.setRateSchedule({{0, 250000}, {5000, 75000}});
    run.start(server.url(fs::relative(manifest, c.media.dir()).string()));
    const bool ended = run.runUntilReady(90s);
    const StatisticsLog log = run.read();
    const auto sent = server.sentLog();
    if (!ended || run.endSamples().empty() || log.samples.size() != tickTimes.size()) {
        std::printf("%s: the stream did not play to its end (%s)\n", name, run.events().sequence().c_str());
        return false;
    }
    // The server's truth.
    std::vector<std::int32_t> variantsSent;
    int segmentsSent = 0;
    for (const auto& s : sent) {
        const int variant = ladderVariant(s.path);
        if (s.status != 200 || !s.first || !isLadderSegment(s.path) || variant < 0 || variant > 2)
            continue;
        ++segmentsSent;
        if (variantsSent.empty() || variantsSent.back() != kDeclaredBps[variant])
            variantsSent.push_back(kDeclaredBps[variant]);
    }
    // The log's: BandWidth while playing, the report's switches, the counters at the end.
    std::vector<std::int32_t> shown;
    for (const auto& s : log.samples) {
        if (s.isPlaying() && (shown.empty() || shown.back() != s.network.bandWidth))
            shown.push_back(s.network.bandWidth);
    }
    const RunSummary summary = Summarize(log);
    const LogSample& atEnd = log.samples[static_cast<std::size_t>(run.endSamples().back() - 1)];
    // Bit_Rate against the bytes sent in the second before each tick, from the
    // start, so that every byte lies inside the windows of both.
    double measured = 0.0, actual = 0.0;
    for (std::size_t i = 0; i < tickTimes.size(); ++i) {
        long long bytes = 0;
        for (const auto& s : sent) {
            if (s.time > tickTimes[i] - 1s && s.time <= tickTimes[i])
                bytes += s.bytes;
        }
        measured += log.samples[i].network.bitRate;
        actual += static_cast<double>(bytes) * 8.0;
    }
    const double error = actual > 0.0 ? (measured - actual) / actual * 100.0 : 100.0;
    const bool variantsMet = shown == variantsSent && summary.run.switches.size() + 1 == variantsSent.size();
    const bool segmentsMet = atEnd.network.receivedPackets == segmentsSent && atEnd.network.lostPackets == 0;
    const bool rateMet = std::fabs(error) <= kTargetAdaptiveBitRatePercent;
    std::string sentText, shownText;
    for (auto b : variantsSent)
        sentText += " " + std::to_string(b);
    for (auto b : shown)
        shownText += " " + std::to_string(b);
    std::printf("%s against the HTTP server's log (3 variants, 20 s, 2 Mbit/s then 600 kbit/s from 5 s)\n", name);
    std::printf("  variants sent%s; BandWidth while Playing%s; report switches %zu   [target exact: %s]\n",
                sentText.c_str(), shownText.c_str(), summary.run.switches.size(), verdict(variantsMet));
    std::printf("  segments answered %d; Received_Pkts %d, Lost_Pkts %d at MediaEnded; Protocol %s   "
                "[target exact: %s]\n",
                segmentsSent, atEnd.network.receivedPackets, atEnd.network.lostPackets, std::string(columnOf(atEnd.network.protocol)).c_str(),
                verdict(segmentsMet));
    std::printf("  %zu samples: mean Bit_Rate %.0f bit/s, true %.0f bit/s (%+.2f %%)   [target 5 %%: %s]\n",
                tickTimes.size(), measured / static_cast<double>(tickTimes.size()),
                actual / static_cast<double>(tickTimes.size()), error, verdict(rateMet));
    return variantsMet && segmentsMet && rateMet;
}

} // namespace

int main(int argc, char** argv)
try {
    std::string only;
    fs::path work;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string key = argv[i];
        if (key == "--only")
            only = argv[i + 1];
        else if (key == "--work")
            work = argv[i + 1];
        else
            throw std::runtime_error("Cannot use option '" + key + "': unknown");
    }
    unsetenv("DISPLAY");
    Context c;
    c.work = work.empty() ? c.media.dir() / "logs" : fs::absolute(work);
    fs::create_directories(c.work);
    bool met = true;
    if (only.empty() || only == "framerate")
        met = frameRates(c) && met;
    if (only.empty() || only == "loss")
        met = lostPackets(c) && met;
    if (only.empty() || only == "bitrate")
        met = bitRate(c) && met;
    if (only.empty() || only == "stalls")
        met = bufferingCount(c) && met;
    if (only.empty() || only == "srt")
        met = srtFigures(c) && met;
    if (only.empty() || only == "hls")
        met = adaptiveLadder(c, false) && met;
    if (only.empty() || only == "dash")
        met = adaptiveLadder(c, true) && met;
    std::fflush(stdout);
    return 0;
} catch (const std::exception& e) {
    std::fprintf(stderr, "bench_accuracy: %s\n", e.what());
    return 1;
}

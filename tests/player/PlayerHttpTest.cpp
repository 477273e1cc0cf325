#include "PlayerTestEnvironment.h"

#include "HttpTestServer.h"
#include "HttpsTestProxy.h"
#include "ConnectionProbe.h"
#include "FfmpegLivePackager.h"
#include "PlayState.h"
#include "PlayerSnapshot.h"

#include <glib.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <set>
#include <utility>
#include <vector>

using namespace zephyrscope;
using namespace zephyrscope::testing;
using namespace std::chrono_literals;

namespace {

class PlayerHttp : public PlayerFixture {
protected:
    void SetUp() override
    {
        PlayerFixture::SetUp();
        Clip25();
        server = std::make_unique<HttpTestServer>(SharedMedia().dir());
        server->start();
    }
    void TearDown() override
    {
        PlayerFixture::TearDown();
        server->stop();
    }
    void checkLadder(const std::string& path, const std::string& protocolName);
    std::unique_ptr<HttpTestServer> server;
};

} // namespace

TEST_F(PlayerHttp, ClipOverHttpPlaysToTheEndWithHttpStatistics)
{
    player->putURL(server->url("clip25.mkv"));
    ASSERT_TRUE(waitForState(kPlayStatePlaying));
    RunMainLoopFor(1200ms);
    auto net = player->network();
    EXPECT_EQ(net->sourceProtocol(), "HTTP");
    EXPECT_GT(net->receivedPackets(), 0);
    EXPECT_EQ(net->lostPackets(), 0);
    EXPECT_EQ(net->receptionQuality(), 100);
    EXPECT_NEAR(net->frameRate(), 2500, 50);
    EXPECT_EQ(net->encodedFrameRate(), 25);
    // Matroska keeps its tags at the end, which a streaming demuxer may not reach first.
    const std::string name = player->currentMedia()->name();
    EXPECT_TRUE(name == "Zephyr Test Clip" || name == "clip25") << name;
    EXPECT_EQ(player->currentMedia()->sourceURL(), server->url("clip25.mkv"));
    ASSERT_TRUE(waitForState(kPlayStateReady));
    const std::string sequence = events.sequence();
    EXPECT_TRUE(sequence == "9 open 3 8 10" || sequence == "9 open 6 3 8 10") << sequence;
}

TEST_F(PlayerHttp, ThrottledSourceReportsBufferingWithRisingProgress)
{
    // About half the clip's rate: the buffer fills visibly slowly.
    player->putURL(server->url("clip25.mkv?rate=25000"));
    std::vector<std::int32_t> progress;
    std::int32_t bitRateWhileBuffering = -1;
    ASSERT_TRUE(RunMainLoopUntil(
        [&] {
            if (player->playState() == kPlayStateBuffering) {
                const std::int32_t value = player->network()->bufferingProgress();
                if (progress.empty() || progress.back() != value)
                    progress.push_back(value);
                // Past half of the download, more than a second of steady transfer lies behind.
                if (value >= 60 && bitRateWhileBuffering < 0)
                    bitRateWhileBuffering = player->network()->bitRate();
            }
            // Under load the first picture can come before the first buffering
            // report; at half the clip's rate the buffer then runs dry soon after,
            // so wait for a Buffering that ends in Playing.
            return events.sequence().find("6 3") != std::string::npos;
        },
        30s))
        << events.sequence();
    EXPECT_TRUE(events.has("play 6")) << events.sequence();
    EXPECT_GE(player->network()->bufferingCount(), 1);
    ASSERT_GE(progress.size(), 2u);
    EXPECT_LT(progress.front(), progress.back()) << ::testing::PrintToString(progress);
    // Open comes first; Buffering comes before the Playing that ends it.
    const std::string sequence = events.sequence();
    EXPECT_EQ(sequence.rfind("9 open ", 0), 0u) << sequence;

    // While data trickles in, the bit rate is the server's: 25000 bytes/s.
    EXPECT_NEAR(bitRateWhileBuffering, 200000, 30000);
}

TEST_F(PlayerHttp, NotFoundGivesAnErrorAndReady)
{
    const std::string url = server->url("missing.mkv");
    player->putURL(url);
    ASSERT_TRUE(waitForState(kPlayStateReady));
    ASSERT_EQ(events.errors.size(), 1u);
    EXPECT_EQ(events.errors[0], url + "|Not Found");
    EXPECT_EQ(events.sequence(), "9 error 10");
}

TEST_F(PlayerHttp, ServerErrorGivesAnErrorAndReady)
{
    player->putURL(server->url("clip25.mkv?status=500"));
    ASSERT_TRUE(waitForState(kPlayStateReady));
    EXPECT_EQ(events.errors.size(), 1u);
    EXPECT_EQ(events.sequence(), "9 error 10");
}

TEST_F(PlayerHttp, StreamDyingMidPlayGivesAnErrorAndReady)
{
    // The connection closes after about a third of the clip and cannot be resumed.
    const auto size = std::filesystem::file_size(SharedMedia().dir() / "clip25.mkv");
    const std::string url = server->url("clip25.mkv?rate=60000&dieAfter=" + std::to_string(size / 3));
    player->putURL(url);
    ASSERT_TRUE(waitForState(kPlayStateReady, 40s)) << events.sequence();
    EXPECT_FALSE(events.has("play 8")) << events.sequence();
    ASSERT_EQ(events.errors.size(), 1u) << events.sequence();
    // The source asks to resume where the connection broke; the server's refusal is the reason.
    EXPECT_EQ(events.errors[0], url + "|Internal Server Error");
}

TEST_F(PlayerHttp, StallingServerKeepsThePlayerBufferingUntilDataFlowsAgain)
{
    // About a second of the clip, then three seconds of silence, then the rest.
    const auto size = std::filesystem::file_size(SharedMedia().dir() / "clip25.mkv");
    player->putURL(server->url("clip25.mkv?stallAfter=" + std::to_string(size / 3) + "&stallMs=3000"));
    ASSERT_TRUE(waitForState(kPlayStateReady, 30s)) << events.sequence();
    EXPECT_EQ(events.sequence(), "9 open 6 3 8 10");
    EXPECT_GE(player->network()->bufferingCount(), 1);
    EXPECT_TRUE(events.errors.empty());
}

TEST_F(PlayerHttp, ServerSilentForGoodFailsTheEntryWithNoDataAfterTheTimeout)
{
    // The no-data timeout shortened to 3 s, below souphttpsrc's own 10.
    player->setNoDataTimeout(3000);
    const auto size = std::filesystem::file_size(SharedMedia().dir() / "clip25.mkv");
    const std::string url = server->url("clip25.mkv?stallAfter=" + std::to_string(size / 3));
    player->putURL(url);
    ASSERT_TRUE(waitForState(kPlayStateReady, 30s)) << events.sequence();
    EXPECT_FALSE(events.has("play 8")) << events.sequence();
    ASSERT_EQ(events.errors.size(), 1u) << events.sequence();
    EXPECT_EQ(events.errors[0], url + "|no data for 3 s");
    EXPECT_GE(player->network()->bufferingCount(), 1);
}

TEST_F(PlayerHttp, HttpsWithAPrivateCertificateIsRefusedWithItsReasonAndPlaysWithTheCaFile)
{
    HttpsTestProxy https(server->port(), SharedMedia().dir());
    https.start();
    const std::string url = https.url("clip25.mkv");

    // The system does not know the certificate's authority.
    player->putURL(url);
    ASSERT_TRUE(waitForState(kPlayStateReady, 30s)) << events.sequence();
    EXPECT_EQ(events.sequence(), "9 error 10");
    ASSERT_EQ(events.errors.size(), 1u);
    EXPECT_EQ(events.errors[0],
              url + "|Cannot verify the TLS certificate of 127.0.0.1: it is signed by an unknown certificate authority");

    // The same reason for an HTTP live stream's playlist.
    MediaFactory::Clip clip;
    SharedMedia().makeHls("hls", clip);
    events.events.clear();
    events.errors.clear();
    player->putURL(https.url("hls/index.m3u8"));
    ASSERT_TRUE(waitForState(kPlayStateReady, 30s)) << events.sequence();
    ASSERT_EQ(events.errors.size(), 1u) << events.sequence();
    EXPECT_NE(events.errors[0].find("Cannot verify the TLS certificate of 127.0.0.1"), std::string::npos)
        << events.errors[0];

    // Trusted through the CA file: a playlist fetched over HTTPS, and its HTTPS clip.
    EXPECT_EQ(CWMPPlayer4::caFileError(https.certificate().string()), "");
    player->setCaFile(https.certificate().string());
    SharedMedia().write("https.m3u", url + "\n");
    events.events.clear();
    events.errors.clear();
    player->putURL(https.url("https.m3u"));
    ASSERT_TRUE(waitForState(kPlayStatePlaying, 20s))
        << events.sequence() << (events.errors.empty() ? "" : " " + events.errors[0]);
    RunMainLoopFor(700ms);
    EXPECT_EQ(player->network()->sourceProtocol(), "HTTPS");
    EXPECT_GT(player->network()->receivedPackets(), 0);
    ASSERT_TRUE(waitForState(kPlayStateReady, 20s)) << events.sequence();
    EXPECT_TRUE(events.errors.empty()) << events.errors[0];
    EXPECT_TRUE(events.has("play 8")) << events.sequence();

    // An HTTP live stream over HTTPS: its segments come through the demuxer's own client.
    events.events.clear();
    player->putURL(https.url("hls/index.m3u8"));
    ASSERT_TRUE(waitForState(kPlayStateReady, 30s)) << events.sequence();
    EXPECT_TRUE(events.errors.empty()) << events.errors[0];
    EXPECT_TRUE(events.has("play 8")) << events.sequence();
}

TEST(CaFile, ThatCannotBeReadOrHoldsNoCertificateIsRefusedWithItsReason)
{
    const std::string missing = (SharedMedia().dir() / "no-such-ca.pem").string();
    const std::string error = CWMPPlayer4::caFileError(missing);
    EXPECT_EQ(error.rfind("Cannot use CA file '" + missing + "': ", 0), 0u) << error;
    EXPECT_NE(error.find("No such file"), std::string::npos) << error;

    const std::string text = SharedMedia().write("not-a-ca.pem", "not a certificate\n").string();
    const std::string notPem = CWMPPlayer4::caFileError(text);
    EXPECT_EQ(notPem.rfind("Cannot use CA file '" + text + "': ", 0), 0u) << notPem;
    EXPECT_NE(notPem.find("No certificate was found"), std::string::npos) << notPem;

    // Never read: a device would be read without end.
    EXPECT_EQ(CWMPPlayer4::caFileError("/dev/zero"), "Cannot use CA file '/dev/zero': not a regular file");
    const std::string dir = SharedMedia().dir().string();
    EXPECT_EQ(CWMPPlayer4::caFileError(dir), "Cannot use CA file '" + dir + "': not a regular file");

    // A connection probe that cannot use its CA file says so rather than guessing at the server.
    std::optional<std::optional<std::string>> answer;
    ConnectionProbe probe("https://127.0.0.1:9/clip.mkv", "/dev/zero", [&](std::optional<std::string> why) {
        answer = std::move(why);
    });
    const gint64 deadline = g_get_monotonic_time() + 15 * G_USEC_PER_SEC;
    while (!answer && g_get_monotonic_time() < deadline)
        g_main_context_iteration(nullptr, TRUE);
    ASSERT_TRUE(answer && *answer);
    EXPECT_EQ(**answer, "Cannot use CA file '/dev/zero': not a regular file");

    // Loaded once: the file is not read again after the first check.
    const std::filesystem::path onceDir = SharedMedia().dir() / "ca-once";
    std::filesystem::create_directories(onceDir);
    HttpsTestProxy proxy(9, onceDir);
    proxy.start();
    EXPECT_EQ(CWMPPlayer4::caFileError(proxy.certificate().string()), "");
    std::filesystem::remove(proxy.certificate());
    EXPECT_EQ(CWMPPlayer4::caFileError(proxy.certificate().string()), "");
}

// rtsps is TLS from its first byte, as https is (rtspsrc shakes hands before
// its first request): a server whose certificate the system does not trust is
// named as such, not taken for one that can be reached.
TEST(ConnectionProbe, ShakesHandsForEveryTlsScheme)
{
    HttpTestServer server(SharedMedia().dir());
    server.start();
    const std::filesystem::path dir = SharedMedia().dir() / "probe-tls";
    std::filesystem::create_directories(dir);
    HttpsTestProxy proxy(server.port(), dir);
    proxy.start();
    const std::string address = proxy.url("stream").substr(std::string("https").size());
    for (const std::string scheme : {"https", "rtsps", "RTSPS"}) {
        SCOPED_TRACE(scheme);
        std::optional<std::optional<std::string>> answer;
        ConnectionProbe probe(scheme + address, "", [&](std::optional<std::string> why) { answer = std::move(why); });
        ASSERT_TRUE(RunMainLoopUntil([&] { return answer.has_value(); }, 15s));
        ASSERT_TRUE(answer->has_value());
        EXPECT_EQ(**answer,
                  "Cannot verify the TLS certificate of 127.0.0.1: it is signed by an unknown certificate authority");
    }
}

TEST_F(PlayerHttp, HttpLiveStreamPlaysAndReportsItsTransport)
{
    MediaFactory::Clip clip;
    SharedMedia().makeHls("hls", clip);
    player->putURL(server->url("hls/index.m3u8"));
    ASSERT_TRUE(waitForEvent("open 13")) << events.sequence();
    auto media = player->currentMedia();
    EXPECT_EQ(media->imageSourceWidth(), 320);
    EXPECT_EQ(media->imageSourceHeight(), 240);
    EXPECT_NEAR(media->duration(), 3.0, 0.1);
    EXPECT_EQ(media->name(), "index");
    ASSERT_TRUE(waitForState(kPlayStatePlaying)) << events.sequence();
    RunMainLoopFor(1000ms);
    auto net = player->network();
    EXPECT_EQ(net->sourceProtocol(), "HLS");
    EXPECT_EQ(net->encodedFrameRate(), 25);
    EXPECT_GT(net->receivedPackets(), 0);
    // One variant: the declared bandwidth is unknown, and tags do not stand in for it.
    EXPECT_EQ(net->bandWidth(), 0);
    // The segments' MPEG-TS, analysed as it enters the demuxer: whole and in order.
    const NetworkFigures figures = SnapshotOf(*player);
    EXPECT_TRUE(figures.transportStream);
    EXPECT_EQ(figures.transportErrors.total(), 0u);
    ASSERT_TRUE(waitForState(kPlayStateReady)) << events.sequence();
    EXPECT_TRUE(events.errors.empty());
    const std::string sequence = events.sequence();
    EXPECT_TRUE(sequence == "9 open 3 8 10" || sequence == "9 open 6 3 8 10") << sequence;
}

// Live streams as ffmpeg packages them, beside the test server's own. Its live
// MPD (type="dynamic" and its clock attributes) ends the root's start tag past
// the 512 bytes GStreamer 1.22.0's type finder looks at over HTTP.
TEST_F(PlayerHttp, LiveStreamsPackagedByFfmpegPlay)
{
    struct Case {
        FfmpegLivePackager::Format format;
        std::string folder, manifest, protocol;
    };
    for (const Case& c : {Case {FfmpegLivePackager::Format::Dash, "ffmpeg-dash", "live.mpd", "DASH"},
                          Case {FfmpegLivePackager::Format::Hls, "ffmpeg-hls", "live.m3u8", "HLS"}}) {
        SCOPED_TRACE(c.protocol);
        events = EventRecorder();
        FfmpegLivePackager ffmpeg(c.format, SharedMedia().dir() / c.folder, c.manifest);
        ASSERT_TRUE(ffmpeg.waitForSegments(3, 20s)) << "ffmpeg wrote no live stream";
        if (c.format == FfmpegLivePackager::Format::Dash) {
            const std::string mpd = ffmpeg.manifest();
            ASSERT_NE(mpd.find("type=\"dynamic\""), std::string::npos) << mpd;
            EXPECT_GT(mpd.find('>', mpd.find("<MPD")), 512u) << mpd;
        }
        player->putURL(server->url(c.folder + "/" + c.manifest));
        ASSERT_TRUE(waitForState(kPlayStatePlaying, 30s)) << events.sequence();
        RunMainLoopFor(3000ms);
        auto net = player->network();
        EXPECT_EQ(net->sourceProtocol(), c.protocol);
        EXPECT_GT(net->frameRate(), 0) << "no frames shown";
        EXPECT_GT(net->receivedPackets(), 1);
        EXPECT_EQ(player->playState(), kPlayStatePlaying) << events.sequence();
        EXPECT_TRUE(events.errors.empty()) << events.sequence();
        player->controls()->stop();
        RunMainLoopFor(300ms);
    }
}

TEST_F(PlayerHttp, LocalHttpLiveStreamIsRefusedAtOnce)
{
    MediaFactory::Clip clip;
    const auto playlist = SharedMedia().makeHls("hls", clip);
    player->putURL(playlist.string());
    ASSERT_TRUE(waitForState(kPlayStateReady, 5s)) << events.sequence();
    EXPECT_EQ(events.sequence(), "9 error 10");
    ASSERT_EQ(events.errors.size(), 1u);
    EXPECT_EQ(events.errors[0], playlist.string() + "|an HTTP live stream can be played only from an HTTP server");
}

namespace {

// Which variant ("v0".."v2") a path of the ladder ("ladder/v1/seg00002.ts") belongs to.
std::string variantOf(const std::string& path)
{
    const auto slash = path.find_last_of('/');
    return slash != std::string::npos && slash >= 2 ? path.substr(slash - 2, 2) : std::string();
}

bool isSegment(const std::string& path)
{
    const auto dot = path.find_last_of('.');
    const std::string ext = dot == std::string::npos ? "" : path.substr(dot);
    return ext == ".ts" || ext == ".m4s" || ext == ".mp4";
}

constexpr std::int32_t kDeclaredBps[] = {500000, 920000, 1670000};
// The variants' RESOLUTION (HLS) and @width/@height (DASH).
constexpr std::pair<std::int32_t, std::int32_t> kDeclaredSize[] = {{320, 180}, {640, 360}, {1280, 720}};

} // namespace

// Plays an adaptive ladder under a rate schedule of 2 Mbit/s, then 600 kbit/s
// (the demuxer climbs from the first variant, then falls back), sampling as the
// program does, and holds the figures against what the server sent.
void PlayerHttp::checkLadder(const std::string& path, const std::string& protocolName)
{
    server->setRateSchedule({{0, 250000}, {5000, 75000}});
    player->putURL(server->url(path));

    struct Tick {
        std::chrono::steady_clock::time_point time;
        std::int32_t bitRate, bandWidth;
        std::pair<std::int32_t, std::int32_t> size;
        bool playing;
    };
    std::vector<Tick> ticks;
    std::string protocol;
    // Sampled as the program does, twice a second, from the start to the end of
    // the stream, so every byte falls inside the ticks' windows.
    auto nextTick = std::chrono::steady_clock::now();
    ASSERT_TRUE(RunMainLoopUntil(
        [&] {
            if (std::chrono::steady_clock::now() >= nextTick) {
                auto net = player->network();
                const bool playing = player->playState() == kPlayStatePlaying;
                ticks.push_back({std::chrono::steady_clock::now(), net->bitRate(), net->bandWidth(),
                                 {SnapshotOf(*player).videoWidth, SnapshotOf(*player).videoHeight}, playing});
                if (playing)
                    protocol = net->sourceProtocol();
                nextTick += 500ms;
            }
            return events.has("play 10");
        },
        60s))
        << events.sequence();
    EXPECT_TRUE(events.errors.empty()) << events.errors.front();
    EXPECT_EQ(protocol, protocolName);

    // The server's truth: which variant's segments it sent, in order, and how many.
    const auto sent = server->sentLog();
    std::vector<std::string> variantsSent;
    int segmentsSent = 0;
    for (const auto& s : sent) {
        if (isSegment(s.path) && s.status == 200 && s.first) {
            ++segmentsSent;
            if (variantsSent.empty() || variantsSent.back() != variantOf(s.path))
                variantsSent.push_back(variantOf(s.path));
        }
    }
    // The player's: the declared bandwidths and picture sizes shown while playing, in order.
    std::vector<std::int32_t> shown;
    std::vector<std::pair<std::int32_t, std::int32_t>> sizesShown;
    for (const Tick& tick : ticks) {
        if (tick.playing && (shown.empty() || shown.back() != tick.bandWidth))
            shown.push_back(tick.bandWidth);
        if (tick.playing && (sizesShown.empty() || sizesShown.back() != tick.size))
            sizesShown.push_back(tick.size);
    }
    std::vector<std::int32_t> expected;
    std::vector<std::pair<std::int32_t, std::int32_t>> expectedSizes;
    for (const auto& v : variantsSent) {
        expected.push_back(kDeclaredBps[v[1] - '0']);
        expectedSizes.push_back(kDeclaredSize[v[1] - '0']);
    }
    EXPECT_GE(variantsSent.size(), 2u) << "the schedule should have made the demuxer switch: "
                                       << ::testing::PrintToString(variantsSent);
    EXPECT_EQ(shown, expected);
    EXPECT_EQ(sizesShown, expectedSizes);
    // The media keeps the size it opened with; only the picture shown follows the switches.
    EXPECT_EQ(player->currentMedia()->imageSourceWidth(), expectedSizes.front().first);
    EXPECT_EQ(player->currentMedia()->imageSourceHeight(), expectedSizes.front().second);
    EXPECT_EQ(SnapshotOf(*player).srtReceiverLatencyMs, 0);
    EXPECT_EQ(player->network()->receivedPackets(), segmentsSent);
    EXPECT_EQ(player->network()->lostPackets(), 0);

    // Bit_Rate against the bytes the server sent in the second before each tick.
    // Every byte lies inside the ticks' windows, so the means differ only by what
    // the player did not count, or counted late.
    double measured = 0, truth = 0;
    int counted = 0;
    for (const Tick& tick : ticks) {
        ++counted;
        long long bytes = 0;
        for (const auto& s : sent) {
            if (s.time > tick.time - 1s && s.time <= tick.time)
                bytes += s.bytes;
        }
        measured += tick.bitRate;
        truth += static_cast<double>(bytes) * 8.0;
    }
    ASSERT_GT(counted, 0);
    EXPECT_NEAR(measured, truth, truth * 0.05) << "summed over " << counted << " ticks";
}

TEST_F(PlayerHttp, AdaptiveHlsFollowsTheVariantsAndBytesTheServerSends)
{
    SharedMedia().makeHlsLadder("ladder", 16.0);
    checkLadder("ladder/master.m3u8", "HLS");
}

TEST_F(PlayerHttp, AdaptiveDashFollowsTheVariantsAndBytesTheServerSends)
{
    SharedMedia().makeDashLadder("dash", 16.0);
    checkLadder("dash/manifest.mpd", "DASH");
}

// An MPD whose root element comes after a long comment is no DASH to type
// finding; the server's Content-Type (application/dash+xml) says it is.
TEST_F(PlayerHttp, AnMpdWhoseRootComesLateIsPlayedAsDashByItsContentType)
{
    const auto manifest = SharedMedia().makeDashLadder("dash", 16.0);
    std::ifstream in(manifest);
    std::string mpd((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const auto rootAt = mpd.find("<MPD");
    ASSERT_NE(rootAt, std::string::npos);
    mpd.insert(rootAt, "<!-- " + std::string(32 * 1024, 'x') + " -->\n");
    std::ofstream(manifest.parent_path() / "commented.mpd") << mpd;
    player->putURL(server->url("dash/commented.mpd"));
    ASSERT_TRUE(waitForState(kPlayStatePlaying, 30s)) << events.sequence();
    RunMainLoopFor(1000ms);
    EXPECT_EQ(player->network()->sourceProtocol(), "DASH");
    EXPECT_GT(player->network()->frameRate(), 0) << "no frames shown";
    EXPECT_TRUE(events.errors.empty()) << events.sequence();
}

// The engine (1.22) retries a segment that is not found three times, then ends
// the entry. It does not skip a live stream's either: hlsdemux2 asks for it again
// every 10 ms or so until the sliding playlist drops it, then loses its place and
// ends the stream there as if it were over (which the entry must not pass for an
// end), as it takes a missing last segment for the end of any stream. Either way
// the entry fails, naming the segment.
TEST_F(PlayerHttp, AdaptiveSegmentNotFoundIsCountedAndNamed)
{
    SharedMedia().makeHlsLadder("ladder", 16.0);
    SharedMedia().makeDashLadder("dash", 16.0);
    SharedMedia().makeHls("hls", MediaFactory::Clip());
    MediaFactory::Clip live;
    live.seconds = 12.0;
    SharedMedia().makeHls("live", live); // 1-s segments, served as a live window of 3
    struct Case {
        std::string manifest, segment, protocol;
        std::vector<std::string> variants;
    };
    for (const Case& c : {Case {"ladder/master.m3u8", "seg00003.ts", "HLS", {"v0/", "v1/", "v2/"}},
                          Case {"dash/manifest.mpd", "seg3.m4s", "DASH", {"v0/", "v1/", "v2/"}},
                          Case {"hls/index.m3u8", "seg00002.ts", "HLS", {""}}, // the last
                          Case {"live/index.m3u8?live=3", "seg00005.ts", "HLS", {""}}}) {
        const std::string folder = c.manifest.substr(0, c.manifest.find('/'));
        for (const std::string& variant : c.variants)
            server->failPath(folder + "/" + variant + c.segment, 404);
        events = EventRecorder();
        const auto before = server->sentLog().size();
        player->putURL(server->url(c.manifest));
        ASSERT_TRUE(waitForState(kPlayStateReady, 40s)) << events.sequence();
        ASSERT_EQ(events.errors.size(), 1u) << events.sequence();
        EXPECT_NE(events.errors[0].find("/" + c.segment + "': 404 Not Found"), std::string::npos) << events.errors[0];
        EXPECT_FALSE(events.has("play 8")) << events.sequence();
        EXPECT_EQ(player->network()->sourceProtocol(), c.protocol);
        // Against the server: segments answered, and segments (not requests) not found.
        int answered = 0;
        std::set<std::string> notFound;
        const auto sent = server->sentLog();
        for (auto s = sent.begin() + static_cast<std::ptrdiff_t>(before); s != sent.end(); ++s) {
            if (!isSegment(s->path) || !s->first)
                continue;
            answered += s->status == 200;
            if (s->status == 404)
                notFound.insert(s->path);
        }
        EXPECT_EQ(player->network()->receivedPackets(), answered) << c.manifest;
        EXPECT_EQ(player->network()->lostPackets(), static_cast<std::int32_t>(notFound.size())) << c.manifest;
        EXPECT_EQ(notFound.size(), 1u) << c.manifest;
    }
    // The live stream played up to the missing segment, and no further.
    EXPECT_TRUE(events.has("play 3")) << events.sequence();
}

namespace {

// The wall clock the player stamps its frames with, in ms since 1970.
std::int64_t wallNowMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

} // namespace

TEST_F(PlayerHttp, AServerHoldingItsFirstByteDelaysTheFirstFrameByAsLong)
{
    constexpr std::int64_t kHoldMs = 800;
    struct StartUp {
        std::int64_t firstByteMs = 0;  // from the URL put to the server's first byte, quickest run
        std::int64_t afterByteMs = 0;  // from that byte to the first frame shown, quickest run
    };
    // One start-up; a query of its own per run, as the hold is for a first request.
    int runs = 0;
    std::string timings; // each run's, for reading a failure of the checks below
    auto startUp = [&](std::int64_t holdMs, StartUp& best) {
        const std::int64_t put = wallNowMs();
        const auto putSteady = std::chrono::steady_clock::now();
        player->putURL(server->url("clip25.mkv?run=" + std::to_string(++runs) + "&holdFirstMs=" + std::to_string(holdMs)));
        std::int64_t firstFrame = 0;
        for (int i = 0; i < 250 && firstFrame == 0; ++i) {
            RunMainLoopFor(20ms);
            firstFrame = SnapshotOf(*player).firstFrameWallMs;
        }
        EXPECT_GT(firstFrame, 0) << holdMs;
        std::int64_t firstByte = -1;
        for (const HttpTestServer::Sent& sent : server->sentLog()) {
            if (sent.first && sent.time >= putSteady) {
                firstByte = std::chrono::duration_cast<std::chrono::milliseconds>(sent.time - putSteady).count();
                break;
            }
        }
        EXPECT_GE(firstByte, 0) << holdMs;
        timings += "held " + std::to_string(holdMs) + " ms: first byte " + std::to_string(firstByte)
            + " ms, first frame " + std::to_string(firstFrame - put) + " ms\n";
        best.firstByteMs = std::min(best.firstByteMs, firstByte);
        best.afterByteMs = std::min(best.afterByteMs, firstFrame - put - firstByte);
        player->controls()->stop();
        RunMainLoopFor(100ms);
    };
    // The player builds the rest of its pipeline while its request waits, so both
    // kinds of run wait long enough for that to be done before their first byte:
    // then only the hold tells them apart. A first run loads the decoders; then
    // the two kinds take turns, and the quickest of three of each counts, so a
    // busy machine's hiccup in one run does not count as the server's.
    constexpr std::int64_t kBaseHoldMs = 1000;
    StartUp warmUp {INT64_MAX, INT64_MAX}, base = warmUp, held = warmUp;
    startUp(kBaseHoldMs, warmUp);
    for (int round = 0; round < 3; ++round) {
        startUp(kBaseHoldMs, base);
        startUp(kBaseHoldMs + kHoldMs, held);
    }
    EXPECT_NEAR(static_cast<double>(held.firstByteMs - base.firstByteMs), static_cast<double>(kHoldMs), 20.0) << timings;
    // The first frame follows the first byte as quickly either way: it came the
    // hold later.
    EXPECT_NEAR(static_cast<double>(held.firstByteMs + held.afterByteMs - base.firstByteMs - base.afterByteMs),
                static_cast<double>(kHoldMs), 20.0)
        << timings;
}

// The server sends the segments at a known byte rate: the last segment's
// download time is as long as the server took to send it, its throughput that
// rate, and its size what the server sent.
TEST_F(PlayerHttp, SegmentDownloadTimeThroughputAndSizeAreTheServersPaceAndBytes)
{
    constexpr long long kBytesPerSecond = 40000;
    MediaFactory::Clip clip;
    SharedMedia().makeHls("hls", clip);
    server->setRateSchedule({{0, kBytesPerSecond}});
    NetworkFigures atEnd;
    events.onEvent = [&](const std::string& event) {
        if (event == "play 8")
            atEnd = SnapshotOf(*player);
    };
    player->putURL(server->url("hls/index.m3u8"));
    ASSERT_TRUE(waitForState(kPlayStatePlaying, 30s)) << events.sequence();
    ASSERT_TRUE(waitForState(kPlayStateReady, 30s)) << events.sequence();
    events.onEvent = nullptr;
    // The last segment, as the server sent it: its bytes and the time from its first to its last.
    std::string last;
    long long bytes = 0;
    std::chrono::steady_clock::time_point first, end;
    for (const auto& sent : server->sentLog()) {
        if (!sent.path.ends_with(".ts"))
            continue;
        if (sent.path != last) {
            last = sent.path;
            bytes = 0;
            first = sent.time;
        }
        bytes += sent.bytes;
        end = sent.time;
    }
    ASSERT_FALSE(last.empty());
    const double sentMs = std::chrono::duration<double, std::milli>(end - first).count();
    ASSERT_TRUE(atEnd.segmentDownloadMs);
    ASSERT_TRUE(atEnd.segmentThroughputBps);
    ASSERT_TRUE(atEnd.segmentBytes);
    EXPECT_EQ(*atEnd.segmentBytes, bytes);
    std::cout << "last segment " << last << ": " << bytes << " bytes sent over " << sentMs << " ms; measured "
              << *atEnd.segmentDownloadMs << " ms, " << *atEnd.segmentThroughputBps << " bit/s\n";
    // The download also holds the request's way there and the answer's head: a few ms here.
    EXPECT_GE(*atEnd.segmentDownloadMs, sentMs);
    EXPECT_NEAR(*atEnd.segmentDownloadMs, sentMs, 50.0);
    EXPECT_NEAR(*atEnd.segmentThroughputBps, static_cast<double>(bytes) * 8000.0 / sentMs,
                static_cast<double>(bytes) * 8000.0 / sentMs * 0.05);
    EXPECT_NEAR(*atEnd.segmentThroughputBps, kBytesPerSecond * 8.0, kBytesPerSecond * 8.0 * 0.1);
}

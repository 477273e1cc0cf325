#include "PlayerTestEnvironment.h"

#include "HttpTestServer.h"
#include "HttpsTestProxy.h"
#include "PlayState.h"

#include <filesystem>
#include <iostream>
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
    std::unique_ptr<HttpTestServer> server;
};

} // namespace

TEST_F(PlayerHttp, ClipOverHttpPlaysToTheEndWithHttpStatistics)
{
    player->putURL(server->url("clip25.mkv"));
    ASSERT_TRUE(waitForState(kPlayStatePlaying));
    RunMainLoopFor(1200ms);
    auto net = player->network();
    const std::int32_t bitRate = net->bitRate();
    const std::int32_t received = net->receivedPackets();
    EXPECT_EQ(net->sourceProtocol(), "HTTP");
    EXPECT_GT(received, 0);
    EXPECT_EQ(net->lostPackets(), 0);
    EXPECT_EQ(net->receptionQuality(), 100);
    EXPECT_NEAR(net->frameRate(), 2500, 50);
    EXPECT_EQ(net->encodedFrameRate(), 25);
    // Matroska keeps its tags at the end, which a streaming demuxer may not reach first.
    const std::string name = player->currentMedia()->name();
    EXPECT_TRUE(name == "Zephyr Test Clip" || name == "clip25") << name;
    EXPECT_EQ(player->currentMedia()->sourceURL(), server->url("clip25.mkv"));
    std::cout << "HTTP: bitRate=" << bitRate << " receivedPackets=" << received << " bandWidth=" << net->bandWidth()
              << " bufferingCount=" << net->bufferingCount() << " bufferingProgress=" << net->bufferingProgress()
              << '\n';
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
    EXPECT_LT(progress.front(), progress.back());
    std::cout << "Throttled HTTP buffering progress:";
    for (auto value : progress)
        std::cout << ' ' << value;
    std::cout << "\nsequence: " << events.sequence() << '\n';
    // Open comes first; Buffering comes before the Playing that ends it.
    const std::string sequence = events.sequence();
    EXPECT_EQ(sequence.rfind("9 open ", 0), 0u) << sequence;

    // While data trickles in, the bit rate is the server's: 25000 bytes/s.
    std::cout << "throttled bitRate=" << bitRateWhileBuffering
              << " receivedPackets=" << player->network()->receivedPackets() << '\n';
    EXPECT_NEAR(bitRateWhileBuffering, 200000, 30000);
}

TEST_F(PlayerHttp, NotFoundGivesAnErrorAndReady)
{
    const std::string url = server->url("missing.mkv");
    player->putURL(url);
    ASSERT_TRUE(waitForState(kPlayStateReady));
    ASSERT_EQ(events.errors.size(), 1u);
    EXPECT_EQ(events.errors[0].substr(0, url.size() + 1), url + "|");
    std::cout << "404: " << events.errors[0] << '\n';
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
    player->putURL(server->url("clip25.mkv?rate=60000&dieAfter=" + std::to_string(size / 3)));
    ASSERT_TRUE(waitForState(kPlayStateReady, 40s)) << events.sequence();
    EXPECT_EQ(events.count("error"), 1) << events.sequence();
    EXPECT_FALSE(events.has("play 8")) << events.sequence();
    if (!events.errors.empty())
        std::cout << "died mid-play: " << events.errors[0] << '\n';
}

TEST_F(PlayerHttp, StallingServerKeepsThePlayerBufferingUntilDataFlowsAgain)
{
    // About a second of the clip, then three seconds of silence, then the rest.
    const auto size = std::filesystem::file_size(SharedMedia().dir() / "clip25.mkv");
    player->putURL(server->url("clip25.mkv?stallAfter=" + std::to_string(size / 3) + "&stallMs=3000"));
    ASSERT_TRUE(waitForState(kPlayStateReady, 30s)) << events.sequence();
    const std::string sequence = events.sequence();
    std::cout << "stalling: " << sequence << '\n';
    EXPECT_EQ(sequence, "9 open 6 3 8 10");
    EXPECT_GE(player->network()->bufferingCount(), 1);
    EXPECT_TRUE(events.errors.empty());
}

TEST_F(PlayerHttp, ServerSilentForGoodFailsTheEntryWithNoDataAfterTheTimeout)
{
    // The no-data timeout shortened to 3 s (test-only), below souphttpsrc's own 10.
    setenv("ZEPHYRSCOPE_TEST_NO_DATA_TIMEOUT_MS", "3000", 1);
    player = std::make_unique<CWMPPlayer4>();
    player->setEventSink(&events);
    unsetenv("ZEPHYRSCOPE_TEST_NO_DATA_TIMEOUT_MS");
    const auto size = std::filesystem::file_size(SharedMedia().dir() / "clip25.mkv");
    const std::string url = server->url("clip25.mkv?stallAfter=" + std::to_string(size / 3));
    player->putURL(url);
    ASSERT_TRUE(waitForState(kPlayStateReady, 30s)) << events.sequence();
    std::cout << "silent for good: " << events.sequence() << '\n';
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
    std::cout << "untrusted: " << events.errors[0] << '\n';
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
    std::cout << "missing CA file: " << error << '\n';
    EXPECT_EQ(error.rfind("Cannot use CA file '" + missing + "': ", 0), 0u) << error;
    EXPECT_NE(error.find("No such file"), std::string::npos) << error;

    const std::string text = SharedMedia().write("not-a-ca.pem", "not a certificate\n").string();
    const std::string notPem = CWMPPlayer4::caFileError(text);
    std::cout << "not a CA file: " << notPem << '\n';
    EXPECT_EQ(notPem.rfind("Cannot use CA file '" + text + "': ", 0), 0u) << notPem;
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
    EXPECT_EQ(net->sourceProtocol(), "HTTP");
    EXPECT_EQ(net->encodedFrameRate(), 25);
    EXPECT_GT(net->receivedPackets(), 0);
    std::cout << "HLS: frameRate=" << net->frameRate() << " receivedPackets=" << net->receivedPackets()
              << " bitRate=" << net->bitRate() << '\n';
    ASSERT_TRUE(waitForState(kPlayStateReady)) << events.sequence();
    EXPECT_TRUE(events.errors.empty());
    const std::string sequence = events.sequence();
    EXPECT_TRUE(sequence == "9 open 3 8 10" || sequence == "9 open 6 3 8 10") << sequence;
}

TEST_F(PlayerHttp, LocalHttpLiveStreamIsRefusedAtOnce)
{
    MediaFactory::Clip clip;
    const auto playlist = SharedMedia().makeHls("hls", clip);
    player->putURL(playlist.string());
    ASSERT_TRUE(waitForState(kPlayStateReady, 5s)) << events.sequence();
    EXPECT_EQ(events.sequence(), "9 error 10");
    ASSERT_EQ(events.errors.size(), 1u);
    std::cout << "local HLS: " << events.errors[0] << '\n';
}

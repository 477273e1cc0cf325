#include "PlayerTestEnvironment.h"

#include "HttpTestServer.h"
#include "PlayState.h"
#include "PlayerSnapshot.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <optional>
#include <vector>

using namespace zephyrscope;
using namespace zephyrscope::testing;
using namespace std::chrono_literals;

namespace {

constexpr int kLiveWindow = 6; // segments in the live playlist
const std::string kPlaying = "play " + std::to_string(kPlayStatePlaying);

std::int64_t msSinceEpoch(std::chrono::system_clock::time_point time)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(time.time_since_epoch()).count();
}

// Where each segment of a finished playlist begins in the stream, in ms, by URI.
std::vector<std::pair<std::string, double>> segmentBegins(const std::filesystem::path& playlist)
{
    std::vector<std::pair<std::string, double>> begins;
    std::ifstream in(playlist);
    std::string line;
    double at = 0.0;
    while (std::getline(in, line)) {
        if (line.rfind("#EXTINF:", 0) != 0)
            continue;
        std::string uri;
        std::getline(in, uri);
        begins.emplace_back(uri, at);
        at += std::atof(line.c_str() + 8) * 1000.0;
    }
    return begins;
}

class PlayerLiveLatency : public PlayerFixture {
protected:
    void SetUp() override
    {
        PlayerFixture::SetUp();
        server = std::make_unique<HttpTestServer>(SharedMedia().dir());
        server->start();
    }
    void TearDown() override
    {
        PlayerFixture::TearDown();
        server->stop();
    }

    struct Run {
        std::optional<double> latencyMs; // the median of the readings
        double waitedMs = 0.0;           // from the live playlist's first answer to the first frame shown
        double behindMs = 0.0;           // the live edge's stream time less the first frame's
    };

    // Plays a live playlist for about 2 s past its first frame; the server's log
    // tells which segment the demuxer began with.
    // begins: where each segment begins in the stream (ms), by file name;
    // edgeMs: the live edge's stream time at the manifest's first answer.
    // untilPlaying: reads while playing; otherwise from the first frame on.
    Run play(const std::string& playlistPath, const std::string& query,
             const std::vector<std::pair<std::string, double>>& begins, double edgeMs, bool untilPlaying = true)
    {
        const auto before = server->sentLog().size();
        // The frames run on from when the player plays: the first frame, or the
        // end of a wait after it (a prerolled pipeline waits in Paused until the
        // player sets it playing, tens of ms on a slow build).
        const int playedBefore = events.count(kPlaying);
        std::int64_t playingMs = 0;
        events.onEvent = [&](const std::string& event) {
            if (event == kPlaying && playingMs == 0)
                playingMs = msSinceEpoch(std::chrono::system_clock::now());
        };
        player->putURL(server->url(playlistPath + "?" + query));
        // This entry's Playing: the recorder still holds those of the runs before.
        if (untilPlaying)
            EXPECT_TRUE(waitForEvent(kPlaying, playedBefore + 1, 30s)) << events.sequence();
        else
            EXPECT_TRUE(RunMainLoopUntil([&] { return SnapshotOf(*player).firstFrameWallMs > 0; }, 30s));
        events.onEvent = nullptr;
        std::vector<double> readings;
        for (int i = 0; i < 60 && readings.size() < (untilPlaying ? 20u : 5u); ++i) {
            RunMainLoopFor(100ms);
            if (const NetworkFigures figures = SnapshotOf(*player); figures.liveLatencyMs)
                readings.push_back(*figures.liveLatencyMs);
        }
        Run run;
        const std::int64_t firstFrameMs = SnapshotOf(*player).firstFrameWallMs;
        player->controls()->stop();
        run.waitedMs = static_cast<double>(std::max(firstFrameMs, playingMs) - msSinceEpoch(server->liveStart(playlistPath)));
        std::string firstSegment;
        const auto sent = server->sentLog();
        for (auto s = sent.begin() + static_cast<std::ptrdiff_t>(before); s != sent.end() && firstSegment.empty(); ++s) {
            if (s->path.ends_with(".ts") || s->path.ends_with(".m4s"))
                firstSegment = s->path.substr(s->path.rfind('/') + 1);
        }
        for (const auto& [uri, beginMs] : begins) {
            if (uri == firstSegment)
                run.behindMs = edgeMs - beginMs;
        }
        std::cout << playlistPath << "?" << query << ": first segment " << firstSegment << ", " << readings.size()
                  << " readings, waited " << run.waitedMs << " ms, " << run.behindMs << " ms behind the edge\n";
        if (!readings.empty()) {
            std::sort(readings.begin(), readings.end());
            run.latencyMs = readings[readings.size() / 2];
        }
        return run;
    }

    // A live HLS playlist of kLiveWindow segments at its first answer.
    Run playHls(const std::string& playlistPath, const std::string& query)
    {
        const auto begins = segmentBegins(SharedMedia().dir() / playlistPath);
        return play(playlistPath, "live=" + std::to_string(kLiveWindow) + query, begins, begins.at(kLiveWindow).second);
    }

    // A live DASH MPD of the ladder's 2-s segments (seg1.m4s ...), kLiveWindow
    // of them available at its first answer; read while playing.
    Run playDash(const std::string& mpdPath, const std::string& query)
    {
        std::vector<std::pair<std::string, double>> begins;
        for (int k = 1; k <= 8; ++k)
            begins.emplace_back("seg" + std::to_string(k) + ".m4s", (k - 1) * 2000.0);
        return play(mpdPath, "dashLive=" + std::to_string(kLiveWindow) + query, begins, kLiveWindow * 2000.0);
    }

    // Undelayed, the latency is how far behind the edge the demuxer began plus the
    // wait for the first frame; of the two runs, what they share cancels and the
    // lag alone is left.
    static void expectLatency(const std::string& protocol, const Run& direct, const Run& lagged, double lagMs)
    {
        ASSERT_TRUE(direct.latencyMs);
        ASSERT_TRUE(lagged.latencyMs);
        ASSERT_GT(direct.behindMs, 0.0);
        std::cout << protocol << " latency direct=" << *direct.latencyMs << " ms (expected "
                  << direct.behindMs + direct.waitedMs << "), lagged " << lagMs << " ms=" << *lagged.latencyMs
                  << " ms (expected " << lagged.behindMs + lagged.waitedMs + lagMs << ")\n";
        EXPECT_NEAR(*direct.latencyMs, direct.behindMs + direct.waitedMs, 100.0);
        EXPECT_NEAR((*lagged.latencyMs - lagged.behindMs - lagged.waitedMs)
                        - (*direct.latencyMs - direct.behindMs - direct.waitedMs),
                    lagMs, 30.0);
    }

    std::unique_ptr<HttpTestServer> server;
};

// Two copies of one live stream: the server's live clock starts at each
// playlist's first request.
const std::vector<std::string>& LiveHls()
{
    static const std::vector<std::string> playlists = [] {
        MediaFactory::Clip clip;
        clip.seconds = 30.0;
        SharedMedia().makeHls("live-pdt", clip); // 1-s segments
        const auto dir = SharedMedia().dir();
        std::filesystem::copy(dir / "live-pdt", dir / "live-pdt-lagged", std::filesystem::copy_options::recursive);
        return std::vector<std::string> {"live-pdt/index.m3u8", "live-pdt-lagged/index.m3u8"};
    }();
    return playlists;
}

} // namespace

// The server stamps each segment with the wall clock it began at, the newest
// ending as the playlist is first answered. The frames play on at their rate
// from the first one shown; a packager that publishes everything D later moves
// the latency by D.
TEST_F(PlayerLiveLatency, HlsLatencyIsTheSegmentsBehindTheEdgeAndGrowsByAPublishingLag)
{
    constexpr int kLagMs = 500;
    const Run direct = playHls(LiveHls()[0], "&pdt=1");
    const Run lagged = playHls(LiveHls()[1], "&pdt=1&lagMs=" + std::to_string(kLagMs));
    expectLatency("HLS", direct, lagged, kLagMs);
}

TEST_F(PlayerLiveLatency, HlsWithoutDatesOrOnDemandHasNoLatency)
{
    const Run undated = playHls(LiveHls()[0], "");
    EXPECT_FALSE(undated.latencyMs);
    // Dated, but finished: a clip with a length.
    const int playedBefore = events.count(kPlaying);
    player->putURL(server->url(LiveHls()[1] + "?pdt=1"));
    ASSERT_TRUE(waitForEvent(kPlaying, playedBefore + 1, 30s)) << events.sequence();
    RunMainLoopFor(1000ms);
    EXPECT_GT(player->currentMedia()->duration(), 0.0);
    EXPECT_FALSE(SnapshotOf(*player).liveLatencyMs);
}

namespace {

// Copies of one DASH ladder, one for each live clock a test starts.
const std::vector<std::string>& LiveDash()
{
    static const std::vector<std::string> manifests = [] {
        SharedMedia().makeDashLadder("live-dash", 16.0);
        const auto dir = SharedMedia().dir();
        std::vector<std::string> paths {"live-dash/manifest.mpd"};
        for (int copy = 1; copy < 6; ++copy) {
            const std::string folder = "live-dash-" + std::to_string(copy);
            if (!std::filesystem::exists(dir / folder))
                std::filesystem::copy(dir / "live-dash", dir / folder, std::filesystem::copy_options::recursive);
            paths.push_back(folder + "/manifest.mpd");
        }
        return paths;
    }();
    return manifests;
}

} // namespace

// availabilityStartTime makes the first segments available as the MPD is first
// answered; a publishing lag adds to the latency, even from a server whose clock
// is 3 s ahead, as it says in UTCTiming.
TEST_F(PlayerLiveLatency, DashLatencyIsTheSegmentsBehindTheEdgeAndGrowsByAPublishingLag)
{
    constexpr int kLagMs = 500;
    const Run direct = playDash(LiveDash()[0], "");
    const Run lagged = playDash(LiveDash()[1], "&lagMs=" + std::to_string(kLagMs) + "&utc=1&clockAheadMs=3000");
    expectLatency("DASH", direct, lagged, kLagMs);
}

// A server whose clock is 3 s ahead of this host's dates its frames 3 s late:
// read by this host's clock, the latency is 3 s short. Each UTCTiming scheme
// tells the difference and the latency comes back by it; a time URL that fails
// leaves it short, with a warning.
TEST_F(PlayerLiveLatency, DashUtcTimingTakesTheServersClockOffsetOffTheLatency)
{
    constexpr double kAheadMs = 3000.0;
    const std::string ahead = "&clockAheadMs=" + std::to_string(static_cast<int>(kAheadMs));
    const Run unsynced = playDash(LiveDash()[0], ahead);
    ASSERT_TRUE(unsynced.latencyMs);
    // What is left of a run's latency once what it was known to hold is taken off.
    const auto error = [](const Run& run) { return *run.latencyMs - run.behindMs - run.waitedMs; };
    const std::vector<std::string> schemes {"1", "xsdate", "iso", "head"}; // 1: direct
    for (std::size_t i = 0; i < schemes.size(); ++i) {
        SCOPED_TRACE(schemes[i]);
        const Run synced = playDash(LiveDash()[i + 1], ahead + "&utc=" + schemes[i]);
        ASSERT_TRUE(synced.latencyMs);
        double expectedMs = kAheadMs;
        // A Date header is to the second: the server says what it cut off, and
        // the player takes the middle of that second.
        if (schemes[i] == "head") {
            // The player's answer, not the demuxer's (which asks too, as GStreamer).
            const auto answers = server->timeAnswers();
            const auto mine = std::find_if(answers.rbegin(), answers.rend(), [](const auto& answer) {
                return answer.method == "HEAD" && answer.userAgent.find("GStreamer") == std::string::npos;
            });
            ASSERT_NE(mine, answers.rend());
            expectedMs += 500.0 - static_cast<double>(mine->dateCutMs);
        }
        std::cout << "DASH UTCTiming " << schemes[i] << ": latency " << *synced.latencyMs << " ms, moved by "
                  << error(synced) - error(unsynced) << " ms (expected " << expectedMs << ")\n";
        EXPECT_NEAR(error(synced) - error(unsynced), expectedMs, 30.0);
    }

    ::testing::internal::CaptureStderr();
    const Run failed = playDash(LiveDash()[5], ahead + "&utc=xsdate&utcPath=no-such-time");
    const std::string warnings = ::testing::internal::GetCapturedStderr();
    ASSERT_TRUE(failed.latencyMs);
    EXPECT_NEAR(error(failed), error(unsynced), 30.0);
    EXPECT_NE(warnings.find("Cannot read the server's time at '" + server->url("no-such-time?clockAheadMs=3000")
                            + "': 404 Not Found"),
              std::string::npos)
        << warnings;
}

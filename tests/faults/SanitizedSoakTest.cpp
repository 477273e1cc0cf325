// Two minutes of play under AddressSanitizer and UndefinedBehaviorSanitizer: a
// list that goes round the same local and HTTP clips, sampled all the way.
// Built only into the sanitizer build, where the program is sanitized too.
#include "FaultFixture.h"
#include "HttpTestServer.h"

using namespace zephyrscope::testing;
namespace fs = std::filesystem;

TEST(FaultSanitized, TwoMinutesOfAListGoingRoundEndCleanly)
{
    constexpr int kRounds = 15;          // two 4-second entries a round: 120 s of play
    constexpr int kTimeoutMs = 300000;   // play, countdown and the sanitizers' slowness
    MediaFactory media;
    MediaFactory::Clip clip;
    clip.seconds = 4.0;
    clip.audio = true;
    const fs::path local = media.make("local.mkv", clip);
    media.make("remote.mkv", clip);
    HttpTestServer server(media.dir());
    server.start();
    std::string entries = "#EXTM3U\n";
    for (int i = 0; i < kRounds; ++i)
        entries += local.string() + "\n" + server.url("remote.mkv") + "\n";
    const fs::path list = media.write("round.m3u", entries);

    const ProgramResult result = ProgramProcess::run(
        {media.dir(), {QString::fromStdString(list.string()), "soak.dat"}}, kTimeoutMs);
    EXPECT_EQ(result.exitStatus, 0) << result.stderrText;
    EXPECT_EQ(result.stderrText.find("Sanitizer"), std::string::npos) << result.stderrText;
    EXPECT_EQ(result.stderrText.find("runtime error"), std::string::npos) << result.stderrText;
    EXPECT_EQ(CountReports(result.stderrText), 0) << result.stderrText;
    const auto written = ExpectWellFormedLog(media.dir() / "soak.dat");
    EXPECT_EQ(written.media.size(), 2u * kRounds);
    EXPECT_GE(written.samples.size(), 200u);
    // Reported, not checked: a sanitized build's speed is no target.
    std::printf("[ measured ] sanitized run: %.1f s, %zu samples\n", result.seconds, written.samples.size());
}

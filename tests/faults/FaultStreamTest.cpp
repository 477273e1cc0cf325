// Streams whose server goes away while they play.
#include "FaultFixture.h"
#include "HttpTestServer.h"
#include "RtspServerProcess.h"

#include <algorithm>
#include <string>
#include <vector>

using namespace zephyrscope::testing;
namespace fs = std::filesystem;

namespace {

QString q(const std::string& text)
{
    return QString::fromStdString(text);
}

int playingSamples(const fs::path& log)
{
    const std::string text = FileText(log);
    int count = 0;
    for (auto at = text.find("\tPlaying\n"); at != std::string::npos; at = text.find("\tPlaying\n", at + 1))
        ++count;
    return count;
}

// The run played, lost its source, said so with how long it had played and why,
// and ended by itself with status 4: something played, but not to its end.
void expectLostMidPlay(ProgramProcess& program, const std::string& url, const fs::path& log,
                       const std::vector<std::string>& whys)
{
    const ProgramResult result = program.finish(60000);
    EXPECT_TRUE(result.endedByItself);
    EXPECT_EQ(result.exitStatus, 4) << result.stderrText;
    const std::string prefix = "Cannot play '" + url + "': connection lost after ";
    const auto at = result.stderrText.find(prefix);
    ASSERT_NE(at, std::string::npos) << result.stderrText;
    const std::string line = result.stderrText.substr(at, result.stderrText.find('\n', at) - at);
    const auto written = ExpectWellFormedLog(log);
    EXPECT_EQ(written.media.size(), 1u);
    const int playing = playingSamples(log);
    EXPECT_GE(playing, 2);
    // Each sample in Playing stands for half a second of play; a tick that comes
    // late under load only makes the samples fewer.
    const double seconds = std::stod(result.stderrText.substr(at + prefix.size()));
    EXPECT_GE(seconds, playing * 0.5 - 1.0) << result.stderrText;
    EXPECT_LE(seconds, result.seconds);
    const bool saysWhy = std::any_of(whys.begin(), whys.end(), [&](const std::string& why) {
        const std::string tail = " s of play: " + why;
        return line.size() > tail.size() && line.compare(line.size() - tail.size(), tail.size(), tail) == 0;
    });
    EXPECT_TRUE(saysWhy) << line;
}

class FaultRtspServerKilled : public FaultFixture, public ::testing::WithParamInterface<std::string> {};
class FaultHttpStream : public FaultFixture {};

} // namespace

TEST_P(FaultRtspServerKilled, MidStreamIsReportedWithItsPlayTimeAndTheRunEndsByItselfWithStatus4)
{
    RtspServerProcess server(ZEPHYRSCOPE_RTSP_SERVER, {"--seconds", "60", "--timeout", "90"});
    const std::string url = server.url(GetParam());
    ProgramProcess program(options({q(url), "run.dat"}));
    ASSERT_TRUE(program.start());
    ASSERT_TRUE(program.waitUntil([&] { return playingSamples(path("run.dat")) >= 2; }))
        << program.stderrSoFar();
    server.killAbruptly();
    server.finish();
    // rtspsrc's words: over TCP the closed connection; over UDP only the control
    // connection's failure, which reads like a failed open, or like a failed
    // read when rtspsrc was reading its next reply as the server went.
    if (GetParam() == "rtspt")
        expectLostMidPlay(program, url, path("run.dat"),
                          {"Could not read from resource. (The server closed the connection.)"});
    else
        expectLostMidPlay(program, url, path("run.dat"),
                          {"Could not open resource for reading and writing.", "Could not read from resource."});
}

INSTANTIATE_TEST_SUITE_P(Transports, FaultRtspServerKilled, ::testing::Values("rtspt", "rtspu"));

TEST_F(FaultHttpStream, HttpConnectionCutMidClipIsReportedWithItsPlayTimeAndTheRunEndsByItselfWithStatus4)
{
    HttpTestServer server(media.dir());
    server.start();
    const fs::path clip = shortClip("clip.mkv", 12.0);
    const auto size = fs::file_size(clip);
    // Sent at three times the clip's pace, so the buffer fills and play begins;
    // cut after two thirds, with no way to resume.
    const std::string url = server.url("clip.mkv?rate=" + std::to_string(size / 4) + "&dieAfter="
                                       + std::to_string(size * 2 / 3));
    ProgramProcess program(options({q(url), "run.dat"}));
    ASSERT_TRUE(program.start());
    // The source asks to resume where the connection broke; the server refuses.
    expectLostMidPlay(program, url, path("run.dat"), {"Internal Server Error"});
}

// Python's http.server: HTTP/1.0, the connection closed after each answer, Range
// ignored. An MP4 whose index follows its media data, played from there without
// a display, must end by itself like any clip.
TEST_F(FaultHttpStream, Mp4FromAnHttp10ServerThatClosesEachAnswerEndsByItself)
{
    HttpTestServer server(media.dir());
    server.start();
    MediaFactory::Clip clip;
    clip.audio = true;
    media.makeMp4("clip.mp4", clip);
    const std::string url = server.url("clip.mp4?http10=1");

    const ProgramResult result = run({q(url), "run.dat"}, 60000);
    EXPECT_TRUE(result.endedByItself);
    EXPECT_EQ(result.exitStatus, 0) << result.stderrText;
    const auto written = ExpectWellFormedLog(path("run.dat"));
    ASSERT_EQ(written.media.size(), 1u);
    EXPECT_EQ(written.media[0].width, 320);
    std::size_t playing = 0;
    for (const auto& sample : written.samples)
        playing += sample.isPlaying() ? 1 : 0;
    // About 3 s of play at two samples a second, and not tick after tick of a clip that never ends.
    EXPECT_GE(playing, 4u);
    EXPECT_LE(playing, 12u);
}

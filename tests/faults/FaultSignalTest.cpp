// Runs stopped from outside while they play: the quit path closes the log on a
// whole line and the status tells which signal it was.
#include "FaultFixture.h"

#include <csignal>

using namespace zephyrscope::testing;
namespace fs = std::filesystem;

namespace {

struct SignalCase {
    int signalNumber;
    int exitStatus;
};

class FaultSignal : public FaultFixture, public ::testing::WithParamInterface<SignalCase> {};
class FaultStderr : public FaultFixture {};

int playingSamples(const std::string& text)
{
    int count = 0;
    for (auto at = text.find("\tPlaying\n"); at != std::string::npos; at = text.find("\tPlaying\n", at + 1))
        ++count;
    return count;
}

} // namespace

TEST_P(FaultSignal, MidPlaySignalQuitsWithItsStatusAndAWholeLog)
{
    const fs::path clip = shortClip("clip.mkv", 10.0);
    ProgramProcess program(options({QString::fromStdString(clip.string()), "run.dat"}));
    ASSERT_TRUE(program.start());
    ASSERT_TRUE(program.waitUntil([&] { return playingSamples(FileText(path("run.dat"))) >= 3; }))
        << program.stderrSoFar();
    program.sendSignal(GetParam().signalNumber);
    const ProgramResult result = program.finish(20000);
    EXPECT_EQ(result.exitStatus, GetParam().exitStatus) << result.stderrText;
    EXPECT_EQ(CountReports(result.stderrText), 0) << result.stderrText;
    const auto written = ExpectWellFormedLog(path("run.dat"));
    EXPECT_EQ(written.media.size(), 1u);
    EXPECT_GE(written.samples.size(), 3u);
}

INSTANTIATE_TEST_SUITE_P(Signals, FaultSignal,
                         ::testing::Values(SignalCase{SIGTERM, 143}, SignalCase{SIGINT, 130}),
                         [](const auto& info) { return info.param.signalNumber == SIGTERM ? "Sigterm" : "Sigint"; });

TEST_F(FaultStderr, ReaderThatHasGoneNeitherEndsNorSpoilsTheRun)
{
    // The missing first entry makes the run write its message into the dead pipe.
    const fs::path clip = shortClip("clip.mkv");
    const fs::path list = media.write("list.m3u", path("missing.mkv").string() + "\n" + clip.string() + "\n");
    ProgramProcess::Options o = options({QString::fromStdString(list.string()), "run.dat"});
    o.stderrReaderGone = true;
    const ProgramResult result = ProgramProcess::run(o);
    EXPECT_EQ(result.exitStatus, 0);
    const auto written = ExpectWellFormedLog(path("run.dat"));
    ASSERT_EQ(written.media.size(), 1u);
    EXPECT_EQ(written.media[0].name, "clip");
}

// Runs stopped from outside while they play: the quit path closes the log on a
// whole line and the status tells which signal it was, even when the UI thread is stuck.
#include "FaultFixture.h"
#include "LogReader.h"

#include <csignal>
#include <fcntl.h>
#include <sys/stat.h>

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
                         ::testing::Values(SignalCase{SIGTERM, 143}, SignalCase{SIGINT, 130}, SignalCase{SIGHUP, 129}),
                         [](const auto& info) {
                             return info.param.signalNumber == SIGTERM ? "Sigterm"
                                 : info.param.signalNumber == SIGINT   ? "Sigint"
                                                                       : "Sighup";
                         });

TEST_F(FaultStderr, ReaderThatHasGoneNeitherEndsNorSpoilsTheRun)
{
    // The missing first entry makes the run write its message into the dead pipe.
    const fs::path clip = shortClip("clip.mkv");
    const fs::path list = media.write("list.m3u", path("missing.mkv").string() + "\n" + clip.string() + "\n");
    ProgramProcess::Options o = options({QString::fromStdString(list.string()), "run.dat"});
    o.stderrReaderGone = true;
    const ProgramResult result = ProgramProcess::run(o);
    // One entry failed, one played: the run is incomplete.
    EXPECT_EQ(result.exitStatus, 4);
    const auto written = ExpectWellFormedLog(path("run.dat"));
    ASSERT_EQ(written.media.size(), 1u);
    EXPECT_EQ(written.media[0].name, "clip");
}

TEST_F(FaultStderr, SignalEndsARunWhoseLogWriteIsStuckInAFullPipe)
{
    // The log goes into a FIFO whose reader has stopped reading: once its buffer is
    // full the UI thread waits in write() and never reaches the quit path. The
    // signal must end the run all the same, leaving whole lines in the pipe.
    constexpr int kPipeBytes = 4096;
    const fs::path clip = shortClip("clip.mkv", 40.0);
    ASSERT_EQ(::mkfifo(path("log.fifo").c_str(), 0600), 0);
    const int reader = ::open(path("log.fifo").c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(reader, 0);
    ASSERT_EQ(::fcntl(reader, F_SETPIPE_SZ, kPipeBytes), kPipeBytes);
    ProgramProcess program(options({QString::fromStdString(clip.string()), "log.fifo"}));
    ASSERT_TRUE(program.start());
    // The kernel names where the UI thread sleeps: in a write into the full pipe.
    const std::string wchan = "/proc/" + std::to_string(program.pid()) + "/wchan";
    ASSERT_TRUE(program.waitUntil([&] { return FileText(wchan).find("pipe_write") != std::string::npos; }, 60000))
        << program.stderrSoFar();
    program.sendSignal(SIGTERM);
    const ProgramResult result = program.finish(10000);
    EXPECT_EQ(result.exitStatus, 143) << result.stderrText;
    EXPECT_NE(result.stderrText.find("the quit path did not end in time"), std::string::npos) << result.stderrText;
    std::string text(kPipeBytes, '\0');
    const ssize_t n = ::read(reader, text.data(), text.size());
    ::close(reader);
    ASSERT_GT(n, 0);
    text.resize(static_cast<std::size_t>(n));
    const auto log = zephyrscope::report::LogReader::fromText(text);
    EXPECT_TRUE(log.headerValid);
    EXPECT_TRUE(log.problems.empty()) << log.problems.front().message;
    EXPECT_EQ(log.media.size(), 1u);
    EXPECT_GE(log.samples.size(), 20u);
}

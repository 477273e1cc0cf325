// Logs that cannot be created, or stop taking writes part-way: each is said once
// with its path and reason, and nothing already in a file is lost or cut.
#include "FaultFixture.h"

#include <csignal>
#include <sys/stat.h>
#include <unistd.h>

using namespace zephyrscope::testing;
namespace fs = std::filesystem;

namespace {

QString q(const std::string& text)
{
    return QString::fromStdString(text);
}

int countOf(const std::string& text, const std::string& needle)
{
    int count = 0;
    for (auto at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1))
        ++count;
    return count;
}

class FaultLogPath : public FaultFixture {
protected:
    // The run ended at once with status 2, after saying exactly why.
    void expectRefused(const ProgramResult& result, const std::string& message)
    {
        EXPECT_TRUE(result.endedByItself);
        EXPECT_EQ(result.exitStatus, 2) << result.stderrText;
        EXPECT_EQ(countOf(result.stderrText, message + "\n"), 1) << result.stderrText;
        EXPECT_EQ(CountReports(result.stderrText), 1) << result.stderrText;
    }

    // Root ignores permission bits, so under root a read-only case runs as an
    // ordinary user who can reach the work folder and read the clip but owns
    // nothing in it; anyone else meets the bits as they are.
    ProgramResult runUnprivileged(const QStringList& arguments)
    {
        ProgramProcess::Options o = options(arguments);
        if (::geteuid() == 0) {
            fs::permissions(media.dir(), fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec
                                             | fs::perms::others_read | fs::perms::others_exec);
            o.user = "nobody";
        }
        return ProgramProcess::run(o);
    }
};

} // namespace

TEST_F(FaultLogPath, MissingFolderIsReportedAndTheRunEndsWithStatus2)
{
    const fs::path clip = shortClip("clip.mkv");
    expectRefused(run({q(clip.string()), "missing/run.dat"}),
                  "Cannot create log file 'missing/run.dat': No such file or directory");
    EXPECT_FALSE(fs::exists(path("missing")));
}

TEST_F(FaultLogPath, PathThatIsAFolderIsReportedAndTheRunEndsWithStatus2)
{
    const fs::path clip = shortClip("clip.mkv");
    fs::create_directory(path("logs.dat"));
    expectRefused(run({q(clip.string()), "logs.dat"}), "Cannot create log file 'logs.dat': Is a directory");
    EXPECT_TRUE(fs::is_directory(path("logs.dat")));
}

TEST_F(FaultLogPath, ReadOnlyFolderIsReportedAndTheRunEndsWithStatus2)
{
    const fs::path clip = shortClip("clip.mkv");
    fs::create_directory(path("readonly"));
    fs::permissions(path("readonly"), fs::perms::owner_read | fs::perms::owner_exec | fs::perms::group_read
                                          | fs::perms::group_exec | fs::perms::others_read | fs::perms::others_exec);
    expectRefused(runUnprivileged({q(clip.string()), "readonly/run.dat"}),
                  "Cannot create log file 'readonly/run.dat': Permission denied");
    EXPECT_FALSE(fs::exists(path("readonly/run.dat")));
}

TEST_F(FaultLogPath, ExistingReadOnlyFileIsReportedAndKeptAsItWas)
{
    const fs::path clip = shortClip("clip.mkv");
    const std::string before = "A log from an earlier run.\n";
    media.write("kept.dat", before);
    fs::permissions(path("kept.dat"), fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
    expectRefused(runUnprivileged({q(clip.string()), "kept.dat"}),
                  "Cannot create log file 'kept.dat': Permission denied");
    EXPECT_EQ(FileText(path("kept.dat")), before);
}

TEST_F(FaultLogPath, FileHeldByAnotherRunningInstanceIsRefusedAndThatRunsLogStaysWhole)
{
    const fs::path clip = shortClip("clip.mkv", 10.0);
    ProgramProcess first(options({q(clip.string()), "shared.dat"}));
    ASSERT_TRUE(first.start());
    ASSERT_TRUE(first.waitUntil([&] { return countOf(FileText(path("shared.dat")), "\tPlaying\n") >= 2; }))
        << first.stderrSoFar();

    expectRefused(run({q(clip.string()), "shared.dat"}),
                  "Cannot create log file 'shared.dat': it is in use by another running instance");

    // The first run writes on after the refusal, into a file nobody cut.
    const std::size_t sizeAfterRefusal = FileText(path("shared.dat")).size();
    ASSERT_TRUE(first.waitUntil([&] { return FileText(path("shared.dat")).size() > sizeAfterRefusal; }))
        << first.stderrSoFar();
    first.sendSignal(SIGTERM);
    const ProgramResult firstResult = first.finish(20000);
    EXPECT_EQ(firstResult.exitStatus, 143) << firstResult.stderrText;
    EXPECT_EQ(CountReports(firstResult.stderrText), 0) << firstResult.stderrText;
    const auto written = ExpectWellFormedLog(path("shared.dat"));
    ASSERT_EQ(written.media.size(), 1u);
    EXPECT_EQ(written.media[0].name, "clip");
    EXPECT_GE(written.samples.size(), 3u);
}

TEST_F(FaultLogPath, FileSizeLimitMidRunIsReportedOnceKeepsWholeLinesAndPlayingGoesOn)
{
    // Room for the header, the first media block and a few seconds of samples;
    // the second entry's media block finds the file full as well.
    constexpr rlim_t kLimitBytes = 1200;
    const fs::path first = shortClip("first.mkv", 8.0);
    const fs::path second = shortClip("second.mkv");
    const fs::path list = media.write("list.m3u", first.string() + "\n" + second.string() + "\n");
    ProgramProcess::Options o = options({q(list.string()), "small.dat"});
    o.fileSizeLimit = kLimitBytes;
    const ProgramResult result = ProgramProcess::run(o);

    // The clips still played to their end: the run ended normally after its countdown.
    EXPECT_EQ(result.exitStatus, 0) << result.stderrText;
    EXPECT_EQ(countOf(result.stderrText, "Cannot write log file 'small.dat': File too large\n"), 1)
        << result.stderrText;
    EXPECT_EQ(CountReports(result.stderrText), 1) << result.stderrText;
    EXPECT_LE(fs::file_size(path("small.dat")), kLimitBytes);
    EXPECT_GT(fs::file_size(path("small.dat")), kLimitBytes - 200);
    const auto written = ExpectWellFormedLog(path("small.dat"));
    ASSERT_GE(written.media.size(), 1u);
    EXPECT_EQ(written.media[0].name, "first");
    // The second block goes in whole when it fits in the room a cut-back sample left.
    if (written.media.size() == 2) {
        EXPECT_EQ(written.media[1].name, "second");
    }
    EXPECT_LE(written.media.size(), 2u);
    EXPECT_GE(written.samples.size(), 3u);
}

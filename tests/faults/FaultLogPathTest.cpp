// Logs that cannot be created, or stop taking writes part-way: each is said once
// with its path and reason, and nothing already in a file is lost or cut.
#include "FaultFixture.h"
#include "LogReader.h"

#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
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

TEST_F(FaultLogPath, JsonLogThatCannotBeCreatedEndsTheRunWithStatus2AndTheLogIsKept)
{
    const fs::path clip = shortClip("clip.mkv");
    std::FILE* earlier = std::fopen(path("kept.dat").c_str(), "w");
    ASSERT_TRUE(earlier);
    std::fputs("an earlier run's log\n", earlier);
    std::fclose(earlier);
    expectRefused(run({"--json-log=missing/run.jsonl", q(clip.string()), "kept.dat"}),
                  "Cannot create log file 'missing/run.jsonl': No such file or directory");
    std::FILE* kept = std::fopen(path("kept.dat").c_str(), "r");
    ASSERT_TRUE(kept);
    char text[64] = {};
    EXPECT_EQ(std::fread(text, 1, sizeof text - 1, kept), 21u);
    std::fclose(kept);
    EXPECT_STREQ(text, "an earlier run's log\n");
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

    // The clips still played to their end, but the log is incomplete: status 4.
    EXPECT_EQ(result.exitStatus, 4) << result.stderrText;
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

TEST_F(FaultLogPath, PipesFifosAndDevicesTakeTheLogAsTheyAreAndOtherKindsAreRefused)
{
    const fs::path clip = shortClip("clip.mkv");
    ASSERT_EQ(::mkfifo(path("log.fifo").c_str(), 0600), 0);
    // A FIFO nobody reads is refused, not waited for.
    expectRefused(run({q(clip.string()), "log.fifo"}),
                  "Cannot create log file 'log.fifo': it is a FIFO that no process has open for reading");

    // The three runs go side by side; each plays its clip to the end and takes its
    // countdown. Status 0 says every write went in (a failed one gives 4).
    const int reader = ::open(path("log.fifo").c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(reader, 0);
    ProgramProcess intoFifo(options({q(clip.string()), "log.fifo"}));
    ProgramProcess intoStdout(options({q(clip.string()), "/dev/stdout"}));
    ProgramProcess intoNull(options({q(clip.string()), "/dev/null"}));
    ASSERT_TRUE(intoFifo.start());
    ASSERT_TRUE(intoStdout.start());
    ASSERT_TRUE(intoNull.start());

    const int listener = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path("log.sock").c_str());
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    expectRefused(run({q(clip.string()), "log.sock"}), "Cannot create log file 'log.sock': it is a socket");
    ::close(listener);

    // A whole run's log (a few KiB) fits in the FIFO's buffer, so it is read at the end.
    for (ProgramProcess* program : {&intoFifo, &intoStdout, &intoNull}) {
        const ProgramResult result = program->finish();
        EXPECT_EQ(result.exitStatus, 0) << result.stderrText;
        EXPECT_EQ(CountReports(result.stderrText), 0) << result.stderrText;
        if (program != &intoStdout)
            continue;
        const auto log = zephyrscope::report::LogReader::fromText(result.stdoutText);
        EXPECT_TRUE(log.headerValid && log.problems.empty()) << result.stdoutText;
        EXPECT_EQ(log.media.size(), 1u);
        EXPECT_GE(log.samples.size(), 4u);
    }
    std::string fromFifo;
    char buffer[4096];
    for (ssize_t n; (n = ::read(reader, buffer, sizeof buffer)) > 0;)
        fromFifo.append(buffer, static_cast<std::size_t>(n));
    ::close(reader);
    const auto log = zephyrscope::report::LogReader::fromText(fromFifo);
    EXPECT_TRUE(log.headerValid && log.problems.empty()) << fromFifo;
    EXPECT_EQ(log.media.size(), 1u);
    EXPECT_GE(log.samples.size(), 4u);
    EXPECT_TRUE(fs::is_fifo(path("log.fifo")));
    EXPECT_TRUE(fs::is_character_file("/dev/null"));
}

TEST_F(FaultLogPath, LogEmptiedMidRunByCopytruncateGoesOnFromItsNewStart)
{
    const fs::path clip = shortClip("clip.mkv", 10.0);
    ProgramProcess program(options({q(clip.string()), "run.dat"}));
    ASSERT_TRUE(program.start());
    ASSERT_TRUE(program.waitUntil([&] { return countOf(FileText(path("run.dat")), "\tPlaying\n") >= 2; }))
        << program.stderrSoFar();
    // What logrotate's copytruncate does: copy the log, then empty it in place.
    fs::copy_file(path("run.dat"), path("run.dat.1"));
    fs::resize_file(path("run.dat"), 0);
    ASSERT_TRUE(program.waitUntil([&] { return countOf(FileText(path("run.dat")), "\tPlaying\n") >= 2; }))
        << program.stderrSoFar();
    program.sendSignal(SIGTERM);
    const ProgramResult result = program.finish(20000);
    EXPECT_EQ(result.exitStatus, 143) << result.stderrText;

    const std::string text = FileText(path("run.dat"));
    EXPECT_EQ(text.find('\0'), std::string::npos) << "a hole of NUL bytes at the head";
    // The new start has no header, and every line of it is a whole sample.
    const auto log = zephyrscope::report::LogReader::fromText(text);
    EXPECT_FALSE(log.headerValid);
    ASSERT_EQ(log.problems.size(), 1u) << log.problems.back().message;
    EXPECT_EQ(log.problems[0].line, 1);
    EXPECT_GE(log.samples.size(), 2u);
    EXPECT_EQ(log.samples.front().line, 1);
    ExpectWellFormedLog(path("run.dat.1"));
}

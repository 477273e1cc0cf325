#include "LogError.h"
#include "LogFile.h"
#include "SampleLine.h"

#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace zephyrscope;
namespace fs = std::filesystem;

namespace {

std::string readFile(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream all;
    all << in.rdbuf();
    return all.str();
}

void writeFile(const fs::path& path, const std::string& text)
{
    std::ofstream(path, std::ios::binary) << text;
}

class LogFileTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/zephyrscope-log-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        dir = pattern;
    }
    void TearDown() override { fs::remove_all(dir); }

    // Expects create() to fail with a message naming the path and the given reason.
    void expectCreateFails(const fs::path& path, const std::string& reason)
    {
        LogFile log;
        try {
            log.create(path.string());
            FAIL() << "created " << path;
        } catch (const LogError& e) {
            EXPECT_EQ(std::string(e.what()), "Cannot create log file '" + path.string() + "': " + reason);
        }
        EXPECT_FALSE(log.isOpen());
    }

    fs::path dir;
};

} // namespace

TEST_F(LogFileTest, CreateWritesExactlyTheHeaderLine)
{
    LogFile log;
    log.create((dir / "run.dat").string());
    EXPECT_TRUE(log.isOpen());
    EXPECT_EQ(readFile(dir / "run.dat"), kLogHeader);
    EXPECT_EQ(fs::file_size(dir / "run.dat"), 181u);
}

TEST_F(LogFileTest, AppendsAreInTheFileAsSoonAsTheyReturn)
{
    LogFile log;
    log.create((dir / "run.dat").string());
    log.append("line one\n");
    EXPECT_EQ(readFile(dir / "run.dat"), std::string(kLogHeader) + "line one\n");
    log.append("block\nwith lines\n");
    EXPECT_EQ(readFile(dir / "run.dat"), std::string(kLogHeader) + "line one\nblock\nwith lines\n");
}

TEST_F(LogFileTest, AnExistingLogIsEmptiedFirst)
{
    writeFile(dir / "old.dat", std::string(100000, 'x'));
    LogFile log;
    log.create((dir / "old.dat").string());
    EXPECT_EQ(readFile(dir / "old.dat"), kLogHeader);
}

TEST_F(LogFileTest, AClaimedLogIsEmptiedOnlyWhenItBeginsAndTakesTheHeaderGiven)
{
    const fs::path path = dir / "kept.jsonl";
    std::ofstream(path) << "an earlier run\n";
    {
        LogFile log;
        log.claim(path.string());
        EXPECT_TRUE(log.isOpen());
        EXPECT_EQ(readFile(path), "an earlier run\n");
        // A second log that cannot be claimed: the first is closed unemptied.
        LogFile other;
        EXPECT_THROW(other.claim((dir / "missing" / "x.dat").string()), LogError);
        log.close();
        EXPECT_EQ(readFile(path), "an earlier run\n");
    }
    LogFile log;
    log.claim(path.string());
    log.begin({});
    log.append("{}\n");
    EXPECT_EQ(readFile(path), "{}\n");
}

TEST_F(LogFileTest, ALogHeldByAnotherRunIsRefusedAndLeftUntouched)
{
    const fs::path path = dir / "shared.dat";
    LogFile first;
    first.create(path.string());
    first.append("first run's sample\n");

    expectCreateFails(path, "it is in use by another running instance");
    EXPECT_EQ(readFile(path), std::string(kLogHeader) + "first run's sample\n");

    // The first run goes on writing as before.
    first.append("more\n");
    EXPECT_EQ(readFile(path), std::string(kLogHeader) + "first run's sample\nmore\n");

    // Once it has closed the log, a run that chooses the same name empties it.
    first.close();
    LogFile second;
    second.create(path.string());
    EXPECT_EQ(readFile(path), kLogHeader);
}

TEST_F(LogFileTest, UnwritablePathsAreClearErrors)
{
    expectCreateFails(dir / "missing" / "run.dat", "No such file or directory");
    EXPECT_FALSE(fs::exists(dir / "missing"));
    expectCreateFails(dir, "Is a directory");
}

TEST_F(LogFileTest, AppendingToAClosedLogIsAnError)
{
    LogFile log;
    log.create((dir / "run.dat").string());
    log.close();
    log.close(); // harmless
    EXPECT_THROW(log.append("late\n"), LogError);
    EXPECT_EQ(readFile(dir / "run.dat"), kLogHeader);
}

TEST_F(LogFileTest, AWriteThatFailsPartWayLeavesOnlyWholeTexts)
{
    // A file-size limit makes the write stop part-way, as a full disk would. The
    // limit is set in a child process so it does not bind the rest of the suite.
    const fs::path path = dir / "limited.dat";
    const std::string line(100, 's');
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        std::signal(SIGXFSZ, SIG_IGN);
        LogFile log;
        log.create(path.string());
        const rlimit limit{181 + 250, 181 + 250};
        ::setrlimit(RLIMIT_FSIZE, &limit);
        log.append(line + "\n");
        log.append(line + "\n");
        int status = 1;
        try {
            log.append(line + "\n"); // only 48 of its 101 bytes fit
        } catch (const LogError& e) {
            const std::string expected = "Cannot write log file '" + path.string() + "': File too large";
            status = expected == e.what() ? 0 : 2;
        }
        ::_exit(status);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "1: no error reported, 2: wrong message";
    EXPECT_EQ(readFile(path), std::string(kLogHeader) + line + "\n" + line + "\n");
}

TEST_F(LogFileTest, ReopenAfterARenameStartsANewFileWithItsHeaderAndLosesNothing)
{
    const fs::path path = dir / "run.dat";
    LogFile log;
    log.create(path.string());
    log.append("one\n");
    EXPECT_FALSE(log.reopen()) << "the path still names the file written";
    log.append("two\n");
    fs::rename(path, dir / "run.dat.1");
    log.append("three\n"); // still into the renamed file
    EXPECT_TRUE(log.reopen());
    log.append("four\n");
    EXPECT_EQ(readFile(dir / "run.dat.1"), std::string(kLogHeader) + "one\ntwo\nthree\n");
    EXPECT_EQ(readFile(path), std::string(kLogHeader) + "four\n");
    // logrotate's create may have made the new file already; it is taken and locked.
    fs::rename(path, dir / "run.dat.2");
    writeFile(path, "");
    EXPECT_TRUE(log.reopen(""));
    log.append("five\n");
    EXPECT_EQ(readFile(path), "five\n");
    LogFile other;
    EXPECT_THROW(other.create(path.string()), LogError);
}

TEST_F(LogFileTest, ReopenThatCannotCreateKeepsWritingTheOldFile)
{
    const fs::path sub = dir / "sub";
    fs::create_directory(sub);
    LogFile log;
    log.create((sub / "run.dat").string());
    fs::rename(sub, dir / "moved");
    EXPECT_THROW(log.reopen(), LogError);
    log.append("still\n");
    EXPECT_EQ(readFile(dir / "moved" / "run.dat"), std::string(kLogHeader) + "still\n");
}

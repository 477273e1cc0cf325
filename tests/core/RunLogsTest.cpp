// The run's two logs, created and closed together, on real files.

#include "FakeClock.h"
#include "FakePlayer.h"
#include "LogError.h"
#include "PlayState.h"
#include "RunLogs.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <unistd.h>

using namespace zephyrscope;
using namespace zephyrscope::testing;

namespace {

std::string contents(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// A scratch folder of the test's own, removed with it.
class RunLogsTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/zephyrscope-runlogs-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        dir = pattern;
    }
    void TearDown() override { std::filesystem::remove_all(dir); }

    std::string path(const char* name) const { return (dir / name).string(); }

    std::filesystem::path dir;
};

} // namespace

TEST_F(RunLogsTest, AJsonLogThatCannotBeCreatedLeavesTheExistingLogAsItWas)
{
    const std::string log = path("run.dat");
    std::ofstream(log) << "a log from before\n";
    FakeClock clock;
    FakePlayer player;
    RunLogs logs;
    logs.setFileName(log);
    logs.setJsonFileName(path("missing/run.jsonl"));
    EXPECT_THROW(logs.open(clock, player), LogError);
    EXPECT_FALSE(logs.log().isOpen());
    EXPECT_EQ(contents(log), "a log from before\n");
}

TEST_F(RunLogsTest, ClosingEndsTheJsonLogsOpenEntryAsStoppedAndClosesBoth)
{
    const std::string json = path("run.jsonl");
    FakeClock clock;
    FakePlayer player;
    player.media.sourceURL = "http://127.0.0.1/clip.mkv";
    RunLogs logs;
    logs.setFileName(path("run.dat"));
    logs.setJsonFileName(json);
    logs.open(clock, player);
    EXPECT_TRUE(logs.log().isOpen());
    logs.json()->playStateChanged(kPlayStateTransitioning); // an entry begins
    logs.json()->mediaOpened();
    logs.close();
    EXPECT_FALSE(logs.log().isOpen());
    const std::string written = contents(json);
    const auto lastLine = written.rfind('\n', written.size() - 2);
    ASSERT_NE(lastLine, std::string::npos) << written;
    EXPECT_NE(written.find("\"stopped\"", lastLine), std::string::npos) << written;
    // Nothing more reaches a closed JSON Lines log.
    EXPECT_EQ(logs.json(), nullptr);
}

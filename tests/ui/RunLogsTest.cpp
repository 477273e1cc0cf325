// The run's two logs, created and closed together, on real files.

#include "FakeClock.h"
#include "FakePlayer.h"
#include "LogError.h"
#include "PlayState.h"
#include "RunLogs.h"

#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>

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

} // namespace

TEST(RunLogs, AJsonLogThatCannotBeCreatedLeavesTheExistingLogAsItWas)
{
    QTemporaryDir dir;
    const std::string log = dir.filePath(QStringLiteral("run.dat")).toStdString();
    std::ofstream(log) << "a log from before\n";
    FakeClock clock;
    FakePlayer player;
    RunLogs logs;
    logs.setFileName(log);
    logs.setJsonFileName(dir.filePath(QStringLiteral("missing/run.jsonl")).toStdString());
    EXPECT_THROW(logs.open(clock, player), LogError);
    EXPECT_FALSE(logs.log().isOpen());
    EXPECT_EQ(contents(log), "a log from before\n");
}

TEST(RunLogs, ClosingEndsTheJsonLogsOpenEntryAsStoppedAndClosesBoth)
{
    QTemporaryDir dir;
    const std::string json = dir.filePath(QStringLiteral("run.jsonl")).toStdString();
    FakeClock clock;
    FakePlayer player;
    player.media.sourceURL = "http://127.0.0.1/clip.mkv";
    RunLogs logs;
    logs.setFileName(dir.filePath(QStringLiteral("run.dat")).toStdString());
    logs.setJsonFileName(json);
    logs.open(clock, player);
    EXPECT_TRUE(logs.log().isOpen());
    logs.playStateChanged(kPlayStateTransitioning); // an entry begins
    logs.mediaOpened();
    logs.close();
    EXPECT_FALSE(logs.log().isOpen());
    const std::string written = contents(json);
    const auto lastLine = written.rfind('\n', written.size() - 2);
    ASSERT_NE(lastLine, std::string::npos) << written;
    EXPECT_NE(written.find("\"stopped\"", lastLine), std::string::npos) << written;
    // Nothing more reaches a closed JSON Lines log.
    logs.mediaOpened();
    EXPECT_EQ(contents(json), written);
}

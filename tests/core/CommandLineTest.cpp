#include "CommandLine.h"

#include <gtest/gtest.h>

using namespace zephyrscope;

TEST(CommandLine, NoArgumentWaitsForTheUser)
{
    const auto d = DecideCommandLine({"zephyrscope"});
    EXPECT_EQ(d.result, 1);
    EXPECT_FALSE(d.url);
    EXPECT_FALSE(d.logFileName);
    EXPECT_FALSE(d.startSampleTimer);
    EXPECT_TRUE(d.message.empty());
}

TEST(CommandLine, UrlAlonePlaysAndSamplesUnderTheDefaultLogName)
{
    const auto d = DecideCommandLine({"zephyrscope", "rtsp://127.0.0.1:8554/clip"});
    EXPECT_EQ(d.result, 1);
    EXPECT_EQ(d.url, "rtsp://127.0.0.1:8554/clip");
    EXPECT_FALSE(d.logFileName);
    EXPECT_TRUE(d.startSampleTimer);
}

TEST(CommandLine, UrlAndLogNameAreTakenUnchanged)
{
    const auto d = DecideCommandLine({"zephyrscope", "  my clip.wpl ", " run 1.dat"});
    EXPECT_EQ(d.result, 1);
    EXPECT_EQ(d.url, "  my clip.wpl ");
    EXPECT_EQ(d.logFileName, " run 1.dat");
    EXPECT_TRUE(d.startSampleTimer);
}

TEST(CommandLine, OtherCountsAreRejectedWithTheUsageMessageAndChangeNothing)
{
    for (const auto& args : std::vector<std::vector<std::string>>{
             {}, {"zephyrscope", "a", "b", "c"}, {"zephyrscope", "a", "b", "c", "d", "e"}}) {
        const auto d = DecideCommandLine(args);
        EXPECT_EQ(d.result, -1);
        EXPECT_FALSE(d.url);
        EXPECT_FALSE(d.logFileName);
        EXPECT_FALSE(d.startSampleTimer);
        EXPECT_EQ(d.message, "Error Command Lines input!\nUse\"Zephyrscope playlist.wpl logfile\"");
    }
    EXPECT_STREQ(kCommandLineIgnored, "All command line parameters are ignored");
}

#include "CommandLine.h"
#include "HeadlessPlatform.h"

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

// Offscreen only where nothing could be shown and nobody named a platform or display.
TEST(HeadlessPlatform, ChosenOnlyWithoutDisplayAndWithoutANamedPlatform)
{
    struct Case {
        DisplayEnvironment environment;
        std::vector<std::string> arguments;
        bool headless;
    };
    const std::vector<Case> cases = {
        {{}, {"z"}, true},
        {{}, {"z", "clip.mkv", "run.dat"}, true},
        {{"", "", ""}, {"z", "clip.mkv"}, true},
        {{":0", "", ""}, {"z", "clip.mkv"}, false},
        {{"", "wayland-0", ""}, {"z"}, false},
        {{"", "", "xcb"}, {"z"}, false},
        {{}, {"z", "-platform", "offscreen", "clip.mkv"}, false},
        {{}, {"z", "clip.mkv", "-display", ":1"}, false},
        // Argument 0 is the program, not an option.
        {{}, {"-platform"}, true},
        // Only Qt's exact spellings name a platform.
        {{}, {"z", "-platformx", "clip.mkv"}, true},
    };
    for (const Case& c : cases)
        EXPECT_EQ(NeedsHeadlessPlatform(c.environment, c.arguments), c.headless)
            << "DISPLAY='" << c.environment.display << "' WAYLAND_DISPLAY='" << c.environment.waylandDisplay
            << "' QT_QPA_PLATFORM='" << c.environment.qtPlatform << "', " << c.arguments.size() << " arguments";
}

TEST(CommandLine, ProblemNamesAnUnknownDashArgumentOrTooManyArguments)
{
    EXPECT_EQ(zephyrscope::CommandLineProblem({"zephyrscope", "clip.mkv", "run.dat"}, 0), "");
    EXPECT_EQ(zephyrscope::CommandLineProblem({"zephyrscope", "-x", "clip.mkv"}, 0), "unknown option '-x'");
    EXPECT_EQ(zephyrscope::CommandLineProblem({"zephyrscope", "a", "b", "c"}, 0), "too many arguments (3)");
    // After "--" a name may start with a dash; "-" alone is a name too.
    EXPECT_EQ(zephyrscope::CommandLineProblem({"zephyrscope", "-x.mkv", "-"}, 2), "");
}

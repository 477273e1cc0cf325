#include "CommandLine.h"
#include "ProgramOptions.h"

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

// Options come off before the URL and log name are counted.
TEST(ProgramOptions, OptionsNeverCountAsUrlOrLogName)
{
    struct Case {
        std::vector<std::string> argv;
        std::vector<std::string> arguments;
        bool help;
        bool version;
    };
    const std::vector<Case> cases = {
        {{"z"}, {"z"}, false, false},
        {{"z", "--help"}, {"z"}, true, false},
        {{"z", "url", "-h", "log"}, {"z", "url", "log"}, true, false},
        {{"z", "--version", "url"}, {"z", "url"}, false, true},
        {{"z", "-V"}, {"z"}, false, true},
        // Qt's one-dash options stay for Qt.
        {{"z", "-platform", "offscreen", "url"}, {"z", "-platform", "offscreen", "url"}, false, false},
        // After "--" everything is an argument, even "--help" and a second "--".
        {{"z", "--", "--odd name.webm", "--help"}, {"z", "--odd name.webm", "--help"}, false, false},
        {{"z", "--", "--", "-V"}, {"z", "--", "-V"}, false, false},
    };
    for (const Case& c : cases) {
        const ProgramOptions o = ParseProgramOptions(c.argv);
        EXPECT_TRUE(o.error.empty()) << o.error;
        EXPECT_EQ(o.arguments, c.arguments);
        EXPECT_EQ(o.help, c.help);
        EXPECT_EQ(o.version, c.version);
    }
}

TEST(ProgramOptions, CaFileTakesItsValueWithOrWithoutEqualsAndNeedsOne)
{
    const ProgramOptions joined = ParseProgramOptions({"z", "--ca-file=/etc/ca.pem", "url", "log"});
    EXPECT_TRUE(joined.error.empty()) << joined.error;
    EXPECT_EQ(joined.caFile, "/etc/ca.pem");
    EXPECT_EQ(joined.arguments, (std::vector<std::string> {"z", "url", "log"}));
    const ProgramOptions separate = ParseProgramOptions({"z", "url", "--ca-file", "my ca.pem", "log"});
    EXPECT_TRUE(separate.error.empty()) << separate.error;
    EXPECT_EQ(separate.caFile, "my ca.pem");
    EXPECT_EQ(separate.arguments, (std::vector<std::string> {"z", "url", "log"}));
    EXPECT_EQ(ParseProgramOptions({"z", "url"}).caFile, "");
    EXPECT_EQ(ParseProgramOptions({"z", "url", "--ca-file"}).error,
              "option '--ca-file' needs a file name (--ca-file=FILE)");
    EXPECT_EQ(ParseProgramOptions({"z", "--ca-file=", "url"}).error,
              "option '--ca-file' needs a file name (--ca-file=FILE)");
}

TEST(ProgramOptions, UnknownOptionOrStrayValueIsAUsageErrorNamingIt)
{
    EXPECT_EQ(ParseProgramOptions({"z", "--fast", "url"}).error, "unknown option '--fast'");
    EXPECT_EQ(ParseProgramOptions({"z", "url", "--help=yes"}).error, "option '--help' takes no value");
    EXPECT_EQ(ParseProgramOptions({"z", "--=x"}).error, "unknown option '--'");
}

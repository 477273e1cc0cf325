#include "ProgramOptions.h"

#include <gtest/gtest.h>

using namespace zephyrscope;

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

TEST(ProgramOptions, FileOptionsTakeTheirValueWithOrWithoutEqualsAndNeedOne)
{
    const struct {
        std::string name;
        std::string ProgramOptions::*file;
    } cases[] = {{"ca-file", &ProgramOptions::caFile}, {"json-log", &ProgramOptions::jsonLog}};
    for (const auto& c : cases) {
        const std::string option = "--" + c.name;
        const ProgramOptions joined = ParseProgramOptions({"z", option + "=/etc/ca.pem", "url", "log"});
        EXPECT_TRUE(joined.error.empty()) << joined.error;
        EXPECT_EQ(joined.*c.file, "/etc/ca.pem");
        EXPECT_EQ(joined.arguments, (std::vector<std::string> {"z", "url", "log"}));
        const ProgramOptions separate = ParseProgramOptions({"z", "url", option, "my ca.pem", "log"});
        EXPECT_TRUE(separate.error.empty()) << separate.error;
        EXPECT_EQ(separate.*c.file, "my ca.pem");
        EXPECT_EQ(separate.arguments, (std::vector<std::string> {"z", "url", "log"}));
        EXPECT_EQ(ParseProgramOptions({"z", "url"}).*c.file, "");
        const std::string needsOne = "option '" + option + "' needs a file name (" + option + "=FILE)";
        EXPECT_EQ(ParseProgramOptions({"z", "url", option}).error, needsOne);
        EXPECT_EQ(ParseProgramOptions({"z", option + "=", "url"}).error, needsOne);
    }
}

TEST(ProgramOptions, WebRtcOptionsTakeTheirValuesAndCheckTheirSchemes)
{
    const ProgramOptions o = ParseProgramOptions({"z", "--bearer-token=abc.def", "--stun-server", "stun://192.0.2.1:3478",
                                                  "--turn-server=turns://u:p@turn.example:5349", "whep+https://h/x"});
    EXPECT_TRUE(o.error.empty()) << o.error;
    EXPECT_EQ(o.bearerToken, "abc.def");
    EXPECT_EQ(o.stunServer, "stun://192.0.2.1:3478");
    EXPECT_EQ(o.turnServer, "turns://u:p@turn.example:5349");
    EXPECT_EQ(o.arguments, (std::vector<std::string> {"z", "whep+https://h/x"}));
    EXPECT_EQ(ParseProgramOptions({"z", "url", "--bearer-token"}).error,
              "option '--bearer-token' needs a value (--bearer-token=TOKEN)");
    EXPECT_EQ(ParseProgramOptions({"z", "--stun-server=192.0.2.1:3478", "url"}).error,
              "option '--stun-server' takes stun://HOST:PORT, not '192.0.2.1:3478'");
    EXPECT_EQ(ParseProgramOptions({"z", "--turn-server=stun://h:1", "url"}).error,
              "option '--turn-server' takes turn(s)://USER:PASSWORD@HOST:PORT, not 'stun://h:1'");
}

TEST(ProgramOptions, UnknownOptionOrStrayValueIsAUsageErrorNamingIt)
{
    EXPECT_EQ(ParseProgramOptions({"z", "--fast", "url"}).error, "unknown option '--fast'");
    EXPECT_EQ(ParseProgramOptions({"z", "url", "--help=yes"}).error, "option '--help' takes no value");
    EXPECT_EQ(ParseProgramOptions({"z", "--=x"}).error, "unknown option '--'");
}

TEST(ProgramOptions, MetricsAddressInBothFormsIsTakenOffTheCommandLine)
{
    struct Case {
        std::vector<std::string> argv;
        std::string host;
        int port;
    };
    const Case cases[] = {
        {{"z", "--metrics=:9464", "url"}, "", 9464},
        {{"z", "--metrics=127.0.0.1:9464", "url", "log"}, "127.0.0.1", 9464},
        {{"z", "--metrics", "0.0.0.0:0", "url"}, "0.0.0.0", 0},
        {{"z", "url", "--metrics=[::1]:65535"}, "::1", 65535},
        {{"z", "--metrics", "[::]:80", "url"}, "::", 80},
    };
    for (const Case& c : cases) {
        const ProgramOptions o = ParseProgramOptions(c.argv);
        SCOPED_TRACE(c.argv[1] + " " + c.argv[2]);
        EXPECT_EQ(o.error, "");
        ASSERT_TRUE(o.metrics);
        EXPECT_EQ(o.metrics->host, c.host);
        EXPECT_EQ(o.metrics->port, c.port);
        EXPECT_EQ(o.arguments.size(), c.argv.size() - (c.argv[1] == "--metrics" ? 2u : 1u));
        EXPECT_EQ(o.arguments[1], "url");
        EXPECT_EQ(FormatMetricsAddress(*o.metrics), c.host.find(':') != std::string::npos
                                                       ? "[" + c.host + "]:" + std::to_string(c.port)
                                                       : c.host + ":" + std::to_string(c.port));
    }
    EXPECT_FALSE(ParseProgramOptions({"z", "url"}).metrics);
}

TEST(ProgramOptions, NoDataTimeoutTakesSecondsFromOneToThirty)
{
    EXPECT_EQ(ParseProgramOptions({"z", "url"}).noDataTimeoutS, kDefaultNoDataTimeoutS);
    const ProgramOptions joined = ParseProgramOptions({"z", "--no-data-timeout=1", "url", "log"});
    EXPECT_TRUE(joined.error.empty()) << joined.error;
    EXPECT_EQ(joined.noDataTimeoutS, 1);
    EXPECT_EQ(joined.arguments, (std::vector<std::string> {"z", "url", "log"}));
    const ProgramOptions separate = ParseProgramOptions({"z", "url", "--no-data-timeout", "30", "log"});
    EXPECT_TRUE(separate.error.empty()) << separate.error;
    EXPECT_EQ(separate.noDataTimeoutS, 30);
    EXPECT_EQ(separate.arguments, (std::vector<std::string> {"z", "url", "log"}));
    for (const std::string& bad : std::vector<std::string> {"0", "31", "-3", "3s", "", "100", "2.5"}) {
        const ProgramOptions o = ParseProgramOptions({"z", "--no-data-timeout=" + bad, "url"});
        EXPECT_EQ(o.error, "option '--no-data-timeout' takes SECONDS from 1 to 30, not '" + bad + "'");
        EXPECT_EQ(o.noDataTimeoutS, kDefaultNoDataTimeoutS) << bad;
    }
    EXPECT_EQ(ParseProgramOptions({"z", "url", "--no-data-timeout"}).error,
              "option '--no-data-timeout' takes SECONDS from 1 to 30");
}

TEST(ProgramOptions, MalformedMetricsAddressIsAUsageErrorNamingIt)
{
    for (const std::string& bad : std::vector<std::string>{"9464", "host:", "127.0.0.1:65536", "::1:9464", "1.2.3.4:94x4", ":-1", "[::1]"}) {
        const ProgramOptions o = ParseProgramOptions({"z", "--metrics=" + bad, "url"});
        EXPECT_EQ(o.error, "option '--metrics' takes [ADDR]:PORT, not '" + bad + "'");
        EXPECT_FALSE(o.metrics) << bad;
    }
    EXPECT_EQ(ParseProgramOptions({"z", "url", "--metrics"}).error, "option '--metrics' needs a value: [ADDR]:PORT");
}

// The table is what the parser knows: every row of ours is taken, by its name
// and its short form, with a value exactly when the row names one.
TEST(ProgramOptions, ParserTakesEveryRowOfTheTableAsTheRowSays)
{
    int ours = 0;
    for (const ProgramOption& row : programOptionTable()) {
        const std::string name(row.name);
        SCOPED_TRACE(name);
        if (row.taker != ProgramOption::Taker::Program) {
            // "--" and Qt's options are never taken as ours.
            const ProgramOptions o = ParseProgramOptions({"z", name, "x"});
            EXPECT_EQ(o.error, "");
            const bool qt = row.taker == ProgramOption::Taker::Qt;
            const std::vector<std::string> left = qt ? std::vector<std::string> {"z", name, "x"}
                                                     : std::vector<std::string> {"z", "x"};
            EXPECT_EQ(o.arguments, left);
            EXPECT_EQ(o.literalCount, qt ? 0u : 1u);
            continue;
        }
        ++ours;
        if (row.argument.empty()) {
            const ProgramOptions o = ParseProgramOptions({"z", name, "url"});
            EXPECT_EQ(o.error, "");
            EXPECT_EQ(o.arguments, (std::vector<std::string> {"z", "url"}));
            EXPECT_EQ(ParseProgramOptions({"z", name + "=1"}).error, "option '" + name + "' takes no value");
            if (!row.alias.empty()) {
                const ProgramOptions alias = ParseProgramOptions({"z", std::string(row.alias), "url"});
                EXPECT_EQ(alias.error, "");
                EXPECT_EQ(alias.help, o.help);
                EXPECT_EQ(alias.version, o.version);
                EXPECT_EQ(alias.arguments, o.arguments);
            }
        } else {
            // The next argument is the value, good or bad, never the URL; alone it is missing.
            const ProgramOptions o = ParseProgramOptions({"z", name, "x", "url"});
            EXPECT_EQ(o.error.rfind("unknown option", 0), std::string::npos) << o.error;
            if (o.error.empty()) {
                EXPECT_EQ(o.arguments, (std::vector<std::string> {"z", "url"}));
            }
            const std::string missing = ParseProgramOptions({"z", "url", name}).error;
            EXPECT_NE(missing, "");
            EXPECT_EQ(missing.rfind("option '" + name + "' ", 0), 0u) << missing;
        }
    }
    EXPECT_EQ(ours, 21);
    EXPECT_EQ(ParseProgramOptions({"z", "--platform", "offscreen"}).error, "unknown option '--platform'");
    // Each flag sets its own field and no other.
    const ProgramOptions transport = ParseProgramOptions({"z", "--transport-only", "url"});
    EXPECT_TRUE(transport.transportOnly);
    EXPECT_FALSE(transport.verbose || transport.help || transport.version);
    EXPECT_FALSE(ParseProgramOptions({"z", "--verbose", "url"}).transportOnly);
}

// A number's row says its default and range once: --help prints them, and
// the struct starts from the same values.
TEST(ProgramOptions, EveryNumbersDefaultLiesInItsRangeAndIsWhereTheOptionsStart)
{
    const ProgramOptions defaults;
    int numbers = 0;
    for (const ProgramOption& row : programOptionTable()) {
        SCOPED_TRACE(std::string(row.name));
        const auto* number = std::get_if<ProgramOption::Number>(&row.field);
        const int* byDefault = std::get_if<int>(&row.byDefault);
        // A number and only a number has a default that is a number, and a range.
        EXPECT_EQ(number != nullptr, byDefault != nullptr);
        EXPECT_EQ(number != nullptr, row.min < row.max);
        if (!number || !byDefault)
            continue;
        ++numbers;
        EXPECT_GE(*byDefault, row.min);
        EXPECT_LE(*byDefault, row.max);
        ProgramOptions options = defaults;
        EXPECT_EQ((*number)(options), *byDefault);
    }
    EXPECT_EQ(numbers, 9);
    // The detectors' own defaults are the options' defaults converted.
    const ContentSettings fromOptions = defaults.content.settings();
    const ContentSettings detectors;
    EXPECT_DOUBLE_EQ(detectors.blackLumaRatio, fromOptions.blackLumaRatio);
    EXPECT_DOUBLE_EQ(detectors.blackPixelShare, fromOptions.blackPixelShare);
    EXPECT_DOUBLE_EQ(detectors.freezeNoiseDb, fromOptions.freezeNoiseDb);
    EXPECT_DOUBLE_EQ(detectors.silenceDbfs, fromOptions.silenceDbfs);
    EXPECT_EQ(detectors.blackMinUs, fromOptions.blackMinUs);
    EXPECT_EQ(detectors.freezeMinUs, fromOptions.freezeMinUs);
    EXPECT_EQ(detectors.silenceMinUs, fromOptions.silenceMinUs);
}

TEST(ProgramOptions, MonitorNameAndConnectionCapAreTakenAndAChannelNameStaysALabel)
{
    const ProgramOptions o =
        ParseProgramOptions({"z", "--monitor", "--name=studio-1.a_B", "--metrics-connections=8", "url"});
    EXPECT_EQ(o.error, "");
    EXPECT_TRUE(o.monitor);
    EXPECT_EQ(o.channel, "studio-1.a_B");
    EXPECT_EQ(o.metricsConnections, 8);
    EXPECT_FALSE(ParseProgramOptions({"z", "url"}).monitor);
    EXPECT_EQ(ParseProgramOptions({"z", "url"}).metricsConnections, 64);
    EXPECT_EQ(ParseProgramOptions({"z", "--name", std::string(64, 'a'), "url"}).error, "");
    // No URL, quote, space or anything long in a label.
    for (const std::string& bad : {std::string(65, 'a'), std::string("rtsp://cam/x"), std::string("a b"),
                                  std::string("a\"b"), std::string("caf\xc3\xa9"), std::string()}) {
        SCOPED_TRACE(bad);
        EXPECT_NE(ParseProgramOptions({"z", "--name=" + bad, "url"}).error.find(
                      "option '--name' takes a CHANNEL of 1 to 64 letters, digits"),
                  std::string::npos);
    }
    // --help says the same longest name as the check.
    const std::string nameHelp(findProgramOption(programOptionTable(), "--name")->help);
    EXPECT_NE(nameHelp.find("at most " + std::to_string(kMaxChannelNameLength) + ")"), std::string::npos) << nameHelp;
    EXPECT_EQ(ParseProgramOptions({"z", "--metrics-connections=0", "url"}).error,
              "option '--metrics-connections' takes N from 1 to 4096, not '0'");
    EXPECT_EQ(ParseProgramOptions({"z", "--metrics-connections=many", "url"}).error,
              "option '--metrics-connections' takes N from 1 to 4096, not 'many'");
}

TEST(ProgramOptions, ContentDetectorsTakeWholeNumbersInTheirRangesIntoTheSettings)
{
    const ProgramOptions defaults = ParseProgramOptions({"z", "url"});
    const ContentSettings d = defaults.content.settings();
    EXPECT_DOUBLE_EQ(d.blackLumaRatio, 0.10);
    EXPECT_DOUBLE_EQ(d.blackPixelShare, 0.98);
    EXPECT_EQ(d.blackMinUs, 500000);
    EXPECT_DOUBLE_EQ(d.freezeNoiseDb, -60.0);
    EXPECT_DOUBLE_EQ(d.silenceDbfs, -60.0);
    EXPECT_EQ(d.silenceMinUs, 500000);

    const ProgramOptions o = ParseProgramOptions({"z", "--black-level=5", "--black-share", "90", "--black-min=1000",
                                                  "--freeze-noise=-45", "--freeze-min=2000", "--silence-level=-70",
                                                  "--silence-min=250", "url", "log"});
    ASSERT_TRUE(o.error.empty()) << o.error;
    const ContentSettings s = o.content.settings();
    EXPECT_DOUBLE_EQ(s.blackLumaRatio, 0.05);
    EXPECT_DOUBLE_EQ(s.blackPixelShare, 0.90);
    EXPECT_EQ(s.blackMinUs, 1000000);
    EXPECT_DOUBLE_EQ(s.freezeNoiseDb, -45.0);
    EXPECT_EQ(s.freezeMinUs, 2000000);
    EXPECT_DOUBLE_EQ(s.silenceDbfs, -70.0);
    EXPECT_EQ(s.silenceMinUs, 250000);
    EXPECT_EQ(o.arguments, (std::vector<std::string> {"z", "url", "log"}));

    EXPECT_EQ(ParseProgramOptions({"z", "--silence-level=-5", "url"}).error,
              "option '--silence-level' takes DBFS from -120 to -10, not '-5'");
    EXPECT_EQ(ParseProgramOptions({"z", "--black-min=0.5", "url"}).error,
              "option '--black-min' takes MS from 40 to 60000, not '0.5'");
}

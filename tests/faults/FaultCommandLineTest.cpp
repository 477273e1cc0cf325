// Command lines that must end before anything is measured: --help and --version,
// usage errors, and a run without a URL where nobody could press Open. None of
// them may leave a file behind or wait.
#include "CommandLine.h"
#include "FaultFixture.h"
#include "HeadlessPlatform.h"
#include "ProgramUsage.h"

#include <filesystem>
#include <fstream>

#include <unistd.h>

using namespace zephyrscope::testing;
namespace fs = std::filesystem;

namespace {

class FaultCommandLine : public FaultFixture {};

// Bounded well below the countdown: none of these runs may get as far as one.
constexpr int kQuickRunMs = 10000;

std::size_t filesIn(const fs::path& dir)
{
    return static_cast<std::size_t>(std::distance(fs::directory_iterator(dir), fs::directory_iterator()));
}

} // namespace

TEST_F(FaultCommandLine, EndsAtOnceWithItsStatusAndLeavesNoFile)
{
    struct Case {
        QStringList arguments;
        bool namePlatform;
        int status;
        std::string stdoutText;   // the whole of stdout, or "*" for the usage text
        std::string stderrText;   // the whole of stderr
    };
    const std::string usage = zephyrscope::kProgramUsage;
    const std::string tryHelp = "Try 'zephyrscope --help' for more information.\n";
    const std::string headless = std::string(zephyrscope::kHeadlessNotice) + "\n";
    const std::string noUrl = std::string(zephyrscope::kCommandLineNoUrlOffscreen) + "\n";
    const std::string usageLine = std::string(zephyrscope::kUsageLine) + "\n";
    // A CA file that is a device or far too large to be one is refused before
    // it is read: /dev/zero would be read without end.
    const fs::path hugeCa = fs::path(::testing::TempDir()) / ("huge-ca-" + std::to_string(::getpid()) + ".pem");
    { std::ofstream(hugeCa).put('-'); }
    fs::resize_file(hugeCa, 50 * 1024 * 1024);
    const std::string url = "http://127.0.0.1:9/clip.mkv";
    const std::vector<Case> cases = {
        {{"--help"}, false, 0, usage, ""},
        {{"clip.mkv", "-h", "run.dat"}, false, 0, usage, ""},
        {{"--version"}, false, 0, "zephyrscope 2.0\n", ""},
        {{"-V", "clip.mkv"}, true, 0, "zephyrscope 2.0\n", ""},
        // Never played as a URL, never taken as the log's name.
        {{"--fast", "clip.mkv", "run.dat"}, false, 64, "", "zephyrscope: unknown option '--fast'\n" + tryHelp},
        {{"clip.mkv", "--help=please"}, false, 64, "", "zephyrscope: option '--help' takes no value\n" + tryHelp},
        // What is wrong first, then the usage; never the dialog's texts, as nobody sees its box.
        {{"clip.mkv", "a.dat", "b.dat"}, true, 64, "", "zephyrscope: too many arguments (3)\n" + usageLine + tryHelp},
        {{"-x", "clip.mkv", "a.dat"}, true, 64, "", "zephyrscope: unknown option '-x'\n" + usageLine + tryHelp},
        // Offscreen, found out or named, a run without a URL says why and ends.
        {{}, false, 64, "", headless + noUrl},
        {{}, true, 64, "", noUrl},
        {{"--ca-file=/dev/zero", QString::fromStdString(url), "run.dat"}, true, 64, "",
         "zephyrscope: Cannot use CA file '/dev/zero': not a regular file\n"},
        {{"--ca-file", QString::fromStdString(hugeCa.string()), QString::fromStdString(url), "run.dat"}, true, 64, "",
         "zephyrscope: Cannot use CA file '" + hugeCa.string() + "': larger than 8 MiB: not a CA bundle\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.arguments.join(' ').toStdString() + (c.namePlatform ? " (offscreen named)" : ""));
        ProgramProcess::Options o = options(c.arguments);
        o.namePlatform = c.namePlatform;
        const ProgramResult result = ProgramProcess::run(o, kQuickRunMs);
        EXPECT_TRUE(result.endedByItself);
        EXPECT_EQ(result.exitStatus, c.status);
        EXPECT_EQ(result.stdoutText, c.stdoutText);
        EXPECT_EQ(result.stderrText, c.stderrText);
        EXPECT_EQ(filesIn(media.dir()), 0u);
    }
    fs::remove(hugeCa);
}

TEST_F(FaultCommandLine, UnknownPlatformIsAUsageErrorNotAnAbort)
{
    const ProgramResult result = run({"-platform", "bogus", "clip.mkv", "a.dat"}, kQuickRunMs);
    EXPECT_TRUE(result.endedByItself);
    EXPECT_EQ(result.exitStatus, 64);
    EXPECT_EQ(result.stderrText.rfind("zephyrscope: unknown platform 'bogus' (Qt's platforms here: ", 0), 0u)
        << result.stderrText;
    EXPECT_NE(result.stderrText.find("offscreen"), std::string::npos);
    EXPECT_EQ(filesIn(media.dir()), 0u);
}

#include "ExitStatus.h"
#include "ProgramOptions.h"
#include "ProgramUsage.h"
#include "Protocol.h"

#include <gtest/gtest.h>

using namespace zephyrscope;

TEST(ProgramUsage, ListsEveryOptionOfTheTableAndEverySchemeOfTheProtocols)
{
    const std::string usage = FormatProgramUsage();
    EXPECT_EQ(usage, kProgramUsage);
    // The options, in the table's order, each at the start of a line.
    std::size_t at = usage.find("\nOptions:\n");
    ASSERT_NE(at, std::string::npos);
    for (const ProgramOption& row : programOptionTable()) {
        const std::string start = "\n  " + (row.alias.empty() ? "" : std::string(row.alias) + ", ")
            + std::string(row.name) + (row.argument.empty() ? " " : row.taker == ProgramOption::Taker::Qt ? " " : "=")
            + std::string(row.argument);
        const std::size_t found = usage.find(start, at);
        EXPECT_NE(found, std::string::npos) << start;
        at = found == std::string::npos ? at : found;
    }
    EXPECT_NE(usage.find("  --json-log=FILE "), std::string::npos);
    EXPECT_NE(usage.find("(SECONDS: 1 to 30; default: 30)"), std::string::npos);
    for (const Protocol& protocol : allProtocols()) {
        for (const Scheme& scheme : protocol.schemes)
            EXPECT_NE(usage.find(" " + std::string(scheme.name) + "://"), std::string::npos) << scheme.name;
        if (protocol.schemes.empty()) {
            EXPECT_NE(usage.find(protocol.column), std::string::npos) << protocol.column;
        }
    }
    std::size_t lineStart = 0;
    for (std::size_t end = usage.find('\n'); end != std::string::npos; end = usage.find('\n', lineStart)) {
        EXPECT_LE(end - lineStart, 79u) << usage.substr(lineStart, end - lineStart);
        lineStart = end + 1;
    }
}

TEST(ProgramUsage, ListsEachExitStatusOnceInIncreasingOrder)
{
    const std::string usage = FormatProgramUsage();
    std::size_t at = usage.find("\nExit status:\n");
    ASSERT_NE(at, std::string::npos);
    int last = -1;
    for (const ExitStatusMeaning& status : kExitStatusMeanings) {
        EXPECT_GT(status.status, last);
        last = status.status;
        const std::size_t found = usage.find("\n  " + std::to_string(status.status) + " ", at);
        EXPECT_NE(found, std::string::npos) << status.status;
        at = found == std::string::npos ? at : found;
    }
}

TEST(ProgramUsage, HelpItemWrapsAtWordsAndMovesTextPastALongLabel)
{
    EXPECT_EQ(FormatHelpItem("URL", 12, "a file"), "  URL       a file\n");
    EXPECT_EQ(FormatHelpItem("--a-long-label=VALUE", 12, "text"), "  --a-long-label=VALUE\n            text\n");
    const std::string words(70, 'w');
    EXPECT_EQ(FormatHelpItem("X", 10, "one " + words), "  X       one\n          " + words + "\n");
    const ProgramOption rows[] = {{"--size", "", "WxH", "chart size", {}, "9x9", 2, 8}};
    EXPECT_EQ(FormatOptionList(rows, 12, ' '), "  --size WxH\n            chart size (WxH: 2 to 8; default: 9x9)\n");
}

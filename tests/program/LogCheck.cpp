#include "LogCheck.h"

#include "LogReader.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

namespace zephyrscope::testing {

std::string FileText(const std::filesystem::path& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

int CountReports(const std::string& stderrText)
{
    int count = 0;
    std::istringstream lines(stderrText);
    for (std::string line; std::getline(lines, line);)
        for (const char* prefix : {"Cannot play '", "Cannot create log file '", "Cannot write log file '"})
            count += line.rfind(prefix, 0) == 0;
    return count;
}

report::StatisticsLog ExpectWellFormedLog(const std::filesystem::path& path)
{
    report::StatisticsLog log;
    try {
        log = report::LogReader::fromFile(path.string());
    } catch (const std::exception& e) {
        ADD_FAILURE() << e.what();
        return log;
    }
    EXPECT_TRUE(log.headerValid) << path;
    for (const report::LogProblem& p : log.problems)
        ADD_FAILURE() << path << " line " << p.line << ": " << p.message;
    const std::string text = FileText(path);
    EXPECT_TRUE(!text.empty() && text.back() == '\n') << path << " does not end with a whole line";
    return log;
}

} // namespace zephyrscope::testing

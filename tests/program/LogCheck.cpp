#include "LogCheck.h"

#include "LogReader.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <vector>

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

void ExpectCountersNeverFall(const report::StatisticsLog& log, const std::filesystem::path& path)
{
    struct Counter {
        const char* column;
        std::int32_t NetworkFigures::*field;
    };
    static constexpr Counter kCounters[] = {
        {"Received_Pkts", &NetworkFigures::receivedPackets},
        {"Lost_Pkts", &NetworkFigures::lostPackets},
        {"Recover_Pkts", &NetworkFigures::recoveredPackets},
        {"BufCount", &NetworkFigures::bufferingCount},
        {"Fr_Skipped", &NetworkFigures::framesSkipped},
    };
    std::vector<std::size_t> entryStarts;
    for (const report::LogMediaBlock& block : log.media)
        entryStarts.push_back(block.firstSampleAfter);
    for (std::size_t i = 1; i < log.samples.size(); ++i) {
        const report::LogSample& before = log.samples[i - 1];
        const report::LogSample& now = log.samples[i];
        // An entry starts at its media block, or before it: the time restarts on
        // the first sample after a clip's end, and the next entry is sampled
        // while it opens (Transitioning), before its block is written.
        const bool opening = std::string_view(now.stateName) == "Transitioning"
            && std::string_view(before.stateName) != "Transitioning";
        if (std::find(entryStarts.begin(), entryStarts.end(), i) != entryStarts.end() || now.elapsed < before.elapsed
            || opening)
            continue;
        for (const Counter& counter : kCounters) {
            EXPECT_GE(now.network.*counter.field, before.network.*counter.field)
                << path << " line " << now.line << ": " << counter.column << " fell within an entry, from "
                << before.network.*counter.field << " (line " << before.line << ")";
        }
    }
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
    ExpectCountersNeverFall(log, path);
    return log;
}

} // namespace zephyrscope::testing

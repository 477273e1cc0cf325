#include "CommandLine.h"

#include <algorithm>

namespace zephyrscope {

CommandLineDecision DecideCommandLine(const std::vector<std::string>& arguments)
{
    CommandLineDecision decision;
    switch (arguments.size()) {
    case 1:
        break;
    case 3:
        decision.logFileName = arguments[2];
        [[fallthrough]];
    case 2:
        decision.url = arguments[1];
        decision.startSampleTimer = true;
        break;
    default:
        decision.result = -1;
        decision.message = kCommandLineUsageError;
        break;
    }
    return decision;
}

std::string CommandLineProblem(const std::vector<std::string>& arguments, std::size_t literalCount)
{
    const std::size_t optionsEnd = arguments.size() - std::min(literalCount, arguments.size());
    for (std::size_t i = 1; i < optionsEnd; ++i) {
        if (arguments[i].size() > 1 && arguments[i][0] == '-')
            return "unknown option '" + arguments[i] + "'";
    }
    if (arguments.size() > 3)
        return "too many arguments (" + std::to_string(arguments.size() - 1) + ")";
    return {};
}

} // namespace zephyrscope

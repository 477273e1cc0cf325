#include "CommandLine.h"

namespace zephyrscope {

CommandLineDecision DecideCommandLine(const std::vector<std::string>& arguments)
{
    CommandLineDecision decision;
    switch (arguments.size()) {
    case 1:
        break;
    case 2:
        decision.url = arguments[1];
        decision.startSampleTimer = true;
        break;
    case 3:
        decision.url = arguments[1];
        decision.logFileName = arguments[2];
        decision.startSampleTimer = true;
        break;
    default:
        decision.result = -1;
        decision.message = kCommandLineUsageError;
        break;
    }
    return decision;
}

} // namespace zephyrscope

#include "HeadlessPlatform.h"

#include <algorithm>

namespace zephyrscope {

bool NeedsHeadlessPlatform(const DisplayEnvironment& environment, const std::vector<std::string>& arguments)
{
    if (!environment.display.empty() || !environment.waylandDisplay.empty() || !environment.qtPlatform.empty())
        return false;
    // Qt takes these wherever they stand, so a URL cannot be one of them.
    const bool named = arguments.size() > 1
        && std::any_of(arguments.begin() + 1, arguments.end(),
                       [](const std::string& argument) { return argument == "-platform" || argument == "-display"; });
    return !named;
}

} // namespace zephyrscope

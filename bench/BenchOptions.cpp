#include "BenchOptions.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <stdexcept>

namespace zephyrscope::bench {

BenchOptions& BenchOptions::on(const std::string& name, Handler handler)
{
    m_handlers[name] = std::move(handler);
    return *this;
}

BenchOptions& BenchOptions::path(const std::string& name, std::string& target)
{
    return on(name, [&target](const std::string& value) { target = std::filesystem::absolute(value).string(); });
}

BenchOptions& BenchOptions::number(const std::string& name, int& target, int minimum)
{
    return on(name, [&target, minimum](const std::string& value) { target = std::max(minimum, std::atoi(value.c_str())); });
}

BenchOptions& BenchOptions::list(const std::string& name, std::vector<std::string>& target)
{
    return on(name, [&target](const std::string& value) { target = split(value, ','); });
}

BenchOptions& BenchOptions::repeated(const std::string& name, std::vector<std::string>& target)
{
    return on(name, [&target](const std::string& value) { target.push_back(value); });
}

void BenchOptions::parse(int argc, char** argv) const
{
    for (int i = 1; i < argc; i += 2) {
        const std::string key = argv[i];
        const auto handler = m_handlers.find(key);
        if (handler == m_handlers.end())
            throw std::runtime_error("Cannot use option '" + key + "': unknown");
        if (i + 1 >= argc)
            throw std::runtime_error("Cannot use option '" + key + "': it needs a value");
        handler->second(argv[i + 1]);
    }
}

std::vector<std::string> BenchOptions::split(const std::string& text, char separator)
{
    std::vector<std::string> items;
    std::istringstream in(text);
    std::string item;
    while (std::getline(in, item, separator)) {
        if (!item.empty())
            items.push_back(item);
    }
    return items;
}

} // namespace zephyrscope::bench

#include "MonitorEvents.h"

#include <cstdlib>
#include <fstream>
#include <utility>

namespace zephyrscope::bench {

namespace {

bool isEvent(const std::string& line, const char* name)
{
    return line.find(std::string("\"event\":\"") + name + "\"") != std::string::npos;
}

// The integer after "key": in a line the program wrote; -1 when it has none.
std::int64_t integerField(const std::string& line, const char* key)
{
    const std::string quoted = std::string("\"") + key + "\":";
    const auto at = line.find(quoted);
    if (at == std::string::npos)
        return -1;
    const char* begin = line.c_str() + at + quoted.size();
    char* end = nullptr;
    const long long value = std::strtoll(begin, &end, 10);
    return end == begin ? -1 : value;
}

} // namespace

MonitorEvents::MonitorEvents(std::filesystem::path log)
    : m_log(std::move(log))
{
}

void MonitorEvents::update()
{
    std::ifstream in(m_log, std::ios::binary);
    if (!in)
        return;
    in.seekg(static_cast<std::streamoff>(m_offset));
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    m_offset += text.size();
    m_partial += text;
    std::size_t begin = 0;
    for (auto end = m_partial.find('\n'); end != std::string::npos; end = m_partial.find('\n', begin)) {
        take(m_partial.substr(begin, end - begin));
        begin = end + 1;
    }
    m_partial.erase(0, begin);
}

void MonitorEvents::take(const std::string& line)
{
    if (isEvent(line, "first_frame")) {
        m_played = true;
    } else if (isEvent(line, "outage_started")) {
        m_startsMs.push_back(integerField(line, "wall_ms"));
    } else if (isEvent(line, "outage_ended")) {
        ++m_outagesEnded;
        m_durationsMs.push_back(integerField(line, "duration_ms"));
    }
}

} // namespace zephyrscope::bench

#include "EventTally.h"

namespace zephyrscope {

void EventTally::Channel::hear(const std::string& what)
{
    std::lock_guard lock(m_mutex);
    for (EventTally* tally : m_listening) {
        if (tally->m_count++ == 0)
            tally->m_first = what;
    }
}

EventTally::EventTally(Channel& channel)
    : m_channel(channel)
{
    std::lock_guard lock(m_channel.m_mutex);
    m_channel.m_listening.push_back(this);
}

EventTally::~EventTally()
{
    stop();
}

void EventTally::stop()
{
    std::lock_guard lock(m_channel.m_mutex);
    std::erase(m_channel.m_listening, this);
}

std::uint64_t EventTally::count() const
{
    std::lock_guard lock(m_channel.m_mutex);
    return m_count;
}

std::string EventTally::first() const
{
    std::lock_guard lock(m_channel.m_mutex);
    return m_first;
}

} // namespace zephyrscope

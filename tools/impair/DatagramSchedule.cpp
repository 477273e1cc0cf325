#include "DatagramSchedule.h"

#include <algorithm>

namespace zephyrscope::tools::impair {

void DatagramSchedule::add(std::int64_t dueUs, const unsigned char* data, std::size_t size)
{
    m_queue.push(Datagram {dueUs, m_added++, std::vector<unsigned char>(data, data + size)});
}

std::optional<std::int64_t> DatagramSchedule::nextDueUs() const
{
    if (m_queue.empty())
        return std::nullopt;
    return m_queue.top().dueUs;
}

int DatagramSchedule::waitMs(std::int64_t nowUs, int idleMs) const
{
    if (m_queue.empty())
        return idleMs;
    const std::int64_t waitUs = m_queue.top().dueUs - nowUs;
    return static_cast<int>(std::clamp<std::int64_t>((waitUs + 999) / 1000, 0, idleMs));
}

std::vector<DatagramSchedule::Datagram> DatagramSchedule::takeDue(std::int64_t nowUs)
{
    std::vector<Datagram> due;
    while (!m_queue.empty() && m_queue.top().dueUs <= nowUs) {
        due.push_back(m_queue.top());
        m_queue.pop();
    }
    return due;
}

} // namespace zephyrscope::tools::impair

#pragma once

// The datagrams a relay holds back until their time: a timer queue its thread
// drains between receives, so a delayed datagram never blocks the ones behind
// it. Equal times leave in the order they were put in.
// Times are microseconds on the caller's monotonic clock. Thread: one caller.

#include <cstdint>
#include <optional>
#include <queue>
#include <vector>

namespace zephyrscope::tools::impair {

class DatagramSchedule {
public:
    struct Datagram {
        std::int64_t dueUs = 0;
        std::uint64_t order = 0;
        std::vector<unsigned char> bytes;
    };

    void add(std::int64_t dueUs, const unsigned char* data, std::size_t size);
    // The earliest due time, if anything waits.
    std::optional<std::int64_t> nextDueUs() const;
    // How long a relay thread may wait in poll() at nowUs before the next
    // datagram is due: rounded up to whole ms (woken early, it would only poll
    // again), at most idleMs, which is also the answer when nothing waits.
    int waitMs(std::int64_t nowUs, int idleMs) const;
    // The datagrams due by nowUs, earliest first.
    std::vector<Datagram> takeDue(std::int64_t nowUs);
    std::size_t size() const { return m_queue.size(); }

private:
    struct Later {
        bool operator()(const Datagram& a, const Datagram& b) const
        {
            return a.dueUs != b.dueUs ? a.dueUs > b.dueUs : a.order > b.order;
        }
    };
    std::priority_queue<Datagram, std::vector<Datagram>, Later> m_queue;
    std::uint64_t m_added = 0;
};

} // namespace zephyrscope::tools::impair

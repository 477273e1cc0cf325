#include "TsFaultRelay.h"

#include "LoopbackSockets.h"

#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <sys/prctl.h>

#include <algorithm>
#include <stdexcept>
#include <vector>

namespace zephyrscope::tools {

namespace {

constexpr int kPollMs = 50; // how often the relay looks at its lifetime and stop flag
constexpr std::size_t kMaxDatagram = 65536;

std::int64_t nowUs()
{
    return std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// Pacing to the microsecond needs the relay's thread to run when its datagram is
// due: first in, first out over other threads, and timers without slack. Only
// where the system allows it (privileged, or an rtprio limit).
bool takeRealTimeScheduling()
{
    prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
    sched_param param {};
    param.sched_priority = 10;
    return pthread_setschedparam(pthread_self(), SCHED_FIFO, &param) == 0;
}

} // namespace

TsFaultRelay::TsFaultRelay(const Options& options)
    : m_options(options)
    , m_end(std::chrono::steady_clock::now() + options.maxLifetime)
    , m_injector(options.plan)
{
    m_in = net::udpSocket(0, "ts fault relay");
    if (m_in < 0)
        throw std::runtime_error("Cannot bind socket 'ts fault relay 127.0.0.1': no free port");
    m_port = net::boundPort(m_in);
    m_out = net::udpSocket(0, "ts fault relay");
    if (m_out < 0) {
        close(m_in);
        throw std::runtime_error("Cannot bind socket 'ts fault relay 127.0.0.1': no free port");
    }
    m_thread = std::thread([this] { run(); });
}

TsFaultRelay::~TsFaultRelay()
{
    stop();
    close(m_in);
    close(m_out);
}

void TsFaultRelay::stop()
{
    m_stopping = true;
    if (m_thread.joinable())
        m_thread.join();
}

TsFaultInjector::Counts TsFaultRelay::counts() const
{
    const std::lock_guard lock(m_mutex);
    return m_injector.counts();
}

std::optional<std::int64_t> TsFaultRelay::sentPcrJitterUs() const
{
    const std::lock_guard lock(m_mutex);
    return m_sentJitter.peakUs();
}

void TsFaultRelay::run()
{
    std::vector<unsigned char> buffer(kMaxDatagram);
    if (m_options.plan.pacedLeadMs > 0)
        m_realTime = takeRealTimeScheduling();
    while (!m_stopping && std::chrono::steady_clock::now() < m_end) {
        pollfd in {m_in, POLLIN, 0};
        // To the microsecond: a paced datagram a millisecond late would be jitter of the relay's own.
        std::int64_t waitUs = kPollMs * 1000;
        if (const std::optional<std::int64_t> dueUs = m_schedule.nextDueUs())
            waitUs = std::clamp<std::int64_t>(*dueUs - nowUs(), 0, waitUs);
        const timespec wait {static_cast<time_t>(waitUs / 1000000), static_cast<long>(waitUs % 1000000 * 1000)};
        const int ready = ppoll(&in, 1, &wait, nullptr);
        for (const impair::DatagramSchedule::Datagram& due : m_schedule.takeDue(nowUs()))
            send(due.bytes.data(), due.bytes.size());
        if (ready <= 0 || (in.revents & POLLIN) == 0)
            continue;
        const ssize_t got = recv(m_in, buffer.data(), buffer.size(), 0);
        if (got <= 0)
            continue;
        const auto size = static_cast<std::size_t>(got);
        const std::int64_t arrivedUs = nowUs();
        std::int64_t departureUs = arrivedUs;
        {
            const std::lock_guard lock(m_mutex);
            departureUs = m_injector.inject(buffer.data(), size, arrivedUs);
        }
        // Whatever waits leaves first: the order stays the sender's.
        if (departureUs > arrivedUs || m_schedule.size() > 0)
            m_schedule.add(departureUs, buffer.data(), size);
        else
            send(buffer.data(), size);
    }
}

void TsFaultRelay::send(const unsigned char* datagram, std::size_t size)
{
    const sockaddr_in target = net::addressOf(m_options.targetHost, m_options.targetPort);
    sendto(m_out, datagram, size, 0, reinterpret_cast<const sockaddr*>(&target), sizeof target);
    const std::int64_t sentUs = nowUs();
    if (const std::optional<std::int64_t> pcrUs = TsFaultInjector::pcrUsOf(datagram, size)) {
        const std::lock_guard lock(m_mutex);
        m_sentJitter.sent(sentUs, *pcrUs);
    }
}

} // namespace zephyrscope::tools

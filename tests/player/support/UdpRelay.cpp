#include "UdpRelay.h"

#include "LoopbackSockets.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <stdexcept>

namespace zephyrscope::testing {

namespace {

constexpr int kPollMs = 50; // how often the relay looks at its lifetime and blackout
constexpr std::size_t kMaxDatagram = 2048;

int boundSocket()
{
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = zephyrscope::tools::net::loopback(0);
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        if (fd >= 0)
            close(fd);
        throw std::runtime_error("Cannot bind socket 'udp relay 127.0.0.1': bind failed");
    }
    return fd;
}

std::int64_t nowUs()
{
    return std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// A recorded data packet left toward the caller at us.
void markForwarded(UdpRelay::DataPacket& packet, std::int64_t us)
{
    packet.forwarded = true;
    packet.us = us;
}

} // namespace

UdpRelay::UdpRelay(std::uint16_t listenerPort, int dropEvery, std::chrono::milliseconds maxLifetime,
                   const zephyrscope::tools::impair::Impairment::Params& impairment)
    : m_listenerPort(listenerPort)
    , m_dropEvery(dropEvery)
    , m_end(std::chrono::steady_clock::now() + maxLifetime)
    , m_impairment(impairment)
{
    m_callerSide = boundSocket();
    m_listenerSide = boundSocket();
    sockaddr_in listener = zephyrscope::tools::net::loopback(listenerPort);
    if (connect(m_listenerSide, reinterpret_cast<sockaddr*>(&listener), sizeof listener) != 0) {
        close(m_callerSide);
        close(m_listenerSide);
        throw std::runtime_error("Cannot connect socket 'udp relay 127.0.0.1': connect failed");
    }
    sockaddr_in bound {};
    socklen_t length = sizeof bound;
    getsockname(m_callerSide, reinterpret_cast<sockaddr*>(&bound), &length);
    m_port = ntohs(bound.sin_port);
    m_wake = eventfd(0, EFD_CLOEXEC);
    m_thread = std::thread([this] { run(); });
}

UdpRelay::~UdpRelay()
{
    stop();
    close(m_callerSide);
    close(m_listenerSide);
    close(m_wake);
}

void UdpRelay::stop()
{
    m_stopping = true;
    const std::uint64_t one = 1;
    [[maybe_unused]] const auto written = write(m_wake, &one, sizeof one);
    if (m_thread.joinable())
        m_thread.join();
}

void UdpRelay::blackout(std::chrono::milliseconds duration)
{
    m_blackoutUntilUs = nowUs() + std::chrono::duration_cast<std::chrono::microseconds>(duration).count();
}

void UdpRelay::blackoutForever()
{
    m_blackoutUntilUs = INT64_MAX;
}

UdpRelay::Counts UdpRelay::counts() const
{
    std::lock_guard lock(m_mutex);
    Counts counts = m_counts;
    // The connection's first packet starts the count even when it was never forwarded.
    if (!m_forwarded.empty())
        counts.neverForwarded = (*m_forwarded.rbegin() - std::min(*m_forwarded.begin(), *m_firstSequence) + 1)
            - m_forwarded.size();
    return counts;
}

std::vector<UdpRelay::DataPacket> UdpRelay::dataPackets() const
{
    std::lock_guard lock(m_mutex);
    return m_recorded;
}

std::size_t UdpRelay::record(std::uint32_t sequence, bool retransmission, std::int64_t us, const unsigned char* packet,
                             ssize_t size)
{
    if (!m_recording)
        return SIZE_MAX;
    m_recorded.push_back({sequence, retransmission, false, us, {packet + 16, packet + size}});
    return m_recorded.size() - 1;
}

void UdpRelay::run()
{
    sockaddr_in caller {};
    bool callerKnown = false;
    unsigned char packet[kMaxDatagram];
    while (!m_stopping && std::chrono::steady_clock::now() < m_end) {
        pollfd fds[3] = {{m_callerSide, POLLIN, 0}, {m_listenerSide, POLLIN, 0}, {m_wake, POLLIN, 0}};
        const int ready = poll(fds, 3, m_schedule.waitMs(nowUs(), kPollMs));
        for (const auto& due : m_schedule.takeDue(nowUs()))
            sendto(m_callerSide, due.bytes.data(), due.bytes.size(), 0, reinterpret_cast<sockaddr*>(&caller),
                   sizeof caller);
        if (ready <= 0)
            continue;
        const bool blackedOut = nowUs() < m_blackoutUntilUs.load();
        if (fds[0].revents & POLLIN) {
            sockaddr_in from {};
            socklen_t length = sizeof from;
            const ssize_t got = recvfrom(m_callerSide, packet, sizeof packet, 0, reinterpret_cast<sockaddr*>(&from),
                                         &length);
            if (got > 0) {
                caller = from;
                callerKnown = true;
                if (!blackedOut)
                    send(m_listenerSide, packet, static_cast<std::size_t>(got), 0);
            }
        }
        if (fds[1].revents & POLLIN) {
            const ssize_t got = recv(m_listenerSide, packet, sizeof packet, 0);
            if (got <= 0 || !callerKnown)
                continue;
            const std::int64_t arrivalUs = nowUs();
            std::int64_t departureUs = arrivalUs; // at once, unless the impairment delays it
            const bool data = got >= 16 && (packet[0] & 0x80) == 0;
            if (data) {
                const std::uint32_t sequence = ((packet[0] & 0x7fu) << 24) | (packet[1] << 16) | (packet[2] << 8)
                    | packet[3];
                const bool retransmission = (packet[4] & 0x04) != 0;
                std::lock_guard lock(m_mutex);
                if (!m_firstSequence)
                    m_firstSequence = sequence;
                const std::size_t recorded = record(sequence, retransmission, arrivalUs, packet, got);
                if (!retransmission)
                    ++m_counts.originals;
                if (blackedOut) {
                    ++m_counts.blackedOut;
                    continue;
                }
                const std::uint32_t divisor = m_sequenceDivisor.load();
                const bool leading = ((sequence - *m_firstSequence) & 0x7fffffffu) < m_leadingDrops.load();
                if (leading
                    || (divisor > 0 ? sequence % divisor == 0
                                    : !retransmission && m_dropEvery > 0 && m_counts.originals % m_dropEvery == 0)) {
                    ++(retransmission ? m_counts.retransmissionsDropped : m_counts.dropped);
                    continue;
                }
                if (!retransmission && divisor == 0) {
                    using Fate = zephyrscope::tools::impair::Impairment::Fate;
                    const auto verdict = m_impairment.judge(arrivalUs, static_cast<std::size_t>(got));
                    m_counts.impaired = m_impairment.counts();
                    if (verdict.fate != Fate::Forwarded) {
                        ++m_counts.dropped;
                        continue;
                    }
                    departureUs = verdict.departureUs;
                }
                if (recorded < m_recorded.size())
                    markForwarded(m_recorded[recorded], departureUs);
                if (retransmission)
                    ++m_counts.retransmitted;
                ++m_counts.dataPackets;
                m_counts.dataBytes += static_cast<std::uint64_t>(got);
                // The caller takes the first copy that comes; later ones are duplicates.
                if (m_forwarded.insert(sequence).second && retransmission)
                    ++m_counts.repaired;
            } else if (blackedOut) {
                continue;
            }
            // Behind whatever is already due, which leaves first.
            if (departureUs > arrivalUs || m_schedule.size() > 0)
                m_schedule.add(departureUs, packet, static_cast<std::size_t>(got));
            else
                sendto(m_callerSide, packet, static_cast<std::size_t>(got), 0, reinterpret_cast<sockaddr*>(&caller),
                       sizeof caller);
        }
    }
}

} // namespace zephyrscope::testing

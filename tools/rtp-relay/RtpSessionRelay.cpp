#include "RtpSessionRelay.h"

#include "LoopbackSockets.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <stdexcept>
#include <utility>
#include <vector>

namespace zephyrscope::tools {

namespace {

using net::addressOf;
int udpSocket(std::uint16_t port) { return net::udpSocket(port, "rtp relay"); }

constexpr int kPollMs = 50; // how often the relay looks at its lifetime and stop flag
constexpr std::size_t kMaxDatagram = 65536;
constexpr std::size_t kRtpHeader = 12;

std::int64_t nowUs()
{
    return std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

bool isRtp(const unsigned char* packet, std::size_t size)
{
    return size >= kRtpHeader && (packet[0] & 0xC0) == 0x80;
}

} // namespace

RtpSessionRelay::RtpSessionRelay(const Options& options)
    : m_options(options)
    , m_end(std::chrono::steady_clock::now() + options.maxLifetime)
    , m_impairment(options.impairment)
{
    if (m_options.receiverRtcpPort == 0)
        m_options.receiverRtcpPort = static_cast<std::uint16_t>(m_options.receiverRtpPort + 1);
    // An even port with the next one free as well, as RTP senders expect.
    const net::PortPair ports = net::evenPortPair(true, "rtp relay");
    m_rtpIn = ports.even;
    m_rtcpIn = ports.next;
    m_port = ports.port;
    if (m_rtpIn < 0)
        throw std::runtime_error("Cannot bind socket 'rtp relay 127.0.0.1': no free port pair");
    m_rtpOut = udpSocket(0);
    m_rtcpOut = udpSocket(0);
    const sockaddr_in rtp = addressOf(m_options.receiverHost, m_options.receiverRtpPort);
    const sockaddr_in rtcp = addressOf(m_options.receiverHost, m_options.receiverRtcpPort);
    if (m_rtpOut < 0 || m_rtcpOut < 0 || connect(m_rtpOut, reinterpret_cast<const sockaddr*>(&rtp), sizeof rtp) != 0
        || connect(m_rtcpOut, reinterpret_cast<const sockaddr*>(&rtcp), sizeof rtcp) != 0) {
        for (const int fd : {m_rtpIn, m_rtcpIn, m_rtpOut, m_rtcpOut})
            if (fd >= 0)
                close(fd);
        throw std::runtime_error("Cannot connect socket 'rtp relay to " + m_options.receiverHost + ":"
                                 + std::to_string(m_options.receiverRtpPort) + "': connect failed");
    }
    m_thread = std::thread([this] { run(); });
}

RtpSessionRelay::~RtpSessionRelay()
{
    stop();
    for (const int fd : {m_rtpIn, m_rtcpIn, m_rtpOut, m_rtcpOut})
        close(fd);
}

void RtpSessionRelay::stop()
{
    m_stopping = true;
    if (m_thread.joinable())
        m_thread.join();
}

RtpSessionRelay::Counts RtpSessionRelay::counts() const
{
    std::lock_guard lock(m_mutex);
    Counts counts = m_counts;
    counts.videoFrames = m_frameDamage.frames();
    counts.keyFrames = m_frameDamage.keyFrames();
    counts.framesDamageBound = m_frameDamage.damageBound();
    counts.framesDamagedWhole = m_frameDamage.damagedWhole();
    return counts;
}

void RtpSessionRelay::run()
{
    sockaddr_in sender {};
    bool senderKnown = false;
    std::vector<unsigned char> buffer(kMaxDatagram);
    while (!m_stopping && std::chrono::steady_clock::now() < m_end) {
        pollfd fds[3] = {{m_rtpIn, POLLIN, 0}, {m_rtcpIn, POLLIN, 0}, {m_rtcpOut, POLLIN, 0}};
        const std::int64_t now = nowUs();
        const int ready = poll(fds, 3, std::min(m_schedule.waitMs(now, kPollMs), m_rtcpSchedule.waitMs(now, kPollMs)));
        sendDue();
        if (ready <= 0)
            continue;
        if (fds[0].revents & POLLIN) {
            const ssize_t got = recv(m_rtpIn, buffer.data(), buffer.size(), 0);
            if (got > 0)
                relayRtp(buffer.data(), static_cast<std::size_t>(got));
        }
        if (fds[1].revents & POLLIN) {
            socklen_t length = sizeof sender;
            const ssize_t got = recvfrom(m_rtcpIn, buffer.data(), buffer.size(), 0,
                                         reinterpret_cast<sockaddr*>(&sender), &length);
            if (got > 0) {
                senderKnown = true;
                const std::int64_t arrivalUs = nowUs();
                // As long as the path holds RTP now, and as far behind the RTP ahead of it as it came.
                const std::int64_t departureUs = std::max(m_lastRtpDepartureUs + (arrivalUs - m_lastRtpArrivalUs),
                                                          arrivalUs + m_lastRtpHoldUs);
                if (departureUs > arrivalUs || m_rtcpSchedule.size() > 0)
                    m_rtcpSchedule.add(departureUs, buffer.data(), static_cast<std::size_t>(got));
                else
                    send(m_rtcpOut, buffer.data(), static_cast<std::size_t>(got), 0);
                std::lock_guard lock(m_mutex);
                ++m_counts.rtcpToReceiver;
            }
        }
        if (fds[2].revents & POLLIN) {
            const ssize_t got = recv(m_rtcpOut, buffer.data(), buffer.size(), 0);
            if (got > 0 && senderKnown) {
                sendto(m_rtcpIn, buffer.data(), static_cast<std::size_t>(got), 0,
                       reinterpret_cast<const sockaddr*>(&sender), sizeof sender);
                std::lock_guard lock(m_mutex);
                ++m_counts.rtcpToSender;
            }
        }
    }
}

void RtpSessionRelay::relayRtp(const unsigned char* packet, std::size_t size)
{
    if (!isRtp(packet, size))
        return; // not RTP: nothing this relay counts or passes on
    const std::int64_t arrivalUs = nowUs();
    std::int64_t departureUs = arrivalUs;
    {
        std::lock_guard lock(m_mutex);
        ++m_counts.rtpIn;
        const impair::Impairment::Verdict verdict = m_impairment.judge(arrivalUs, size);
        m_counts.impaired = m_impairment.counts();
        m_frameDamage.packet(packet, size, verdict.fate != impair::Impairment::Fate::Forwarded, arrivalUs);
        if (verdict.fate != impair::Impairment::Fate::Forwarded) {
            ++m_counts.dropped;
            ++m_counts.trailingDrops;
            return;
        }
        m_counts.trailingDrops = 0;
        departureUs = std::max(verdict.departureUs, arrivalUs);
        const std::int64_t holdUs = departureUs - arrivalUs;
        m_counts.leastHoldUs = m_counts.forwarded == 0 ? holdUs : std::min(m_counts.leastHoldUs, holdUs);
        m_counts.mostHoldUs = std::max(m_counts.mostHoldUs, holdUs);
        m_counts.totalHoldUs += holdUs;
        ++m_counts.forwarded;
    }
    m_lastRtpDepartureUs = std::max(m_lastRtpDepartureUs, departureUs);
    m_lastRtpHoldUs = departureUs - arrivalUs;
    m_lastRtpArrivalUs = arrivalUs;
    // Whatever is already due leaves first, so a packet due now goes straight
    // out only when nothing waits.
    if (departureUs > arrivalUs || m_schedule.size() > 0)
        m_schedule.add(departureUs, packet, size);
    else
        sendRtp(packet, size);
}

void RtpSessionRelay::sendDue()
{
    const std::int64_t now = nowUs();
    for (const impair::DatagramSchedule::Datagram& due : m_schedule.takeDue(now))
        sendRtp(due.bytes.data(), due.bytes.size());
    for (const impair::DatagramSchedule::Datagram& due : m_rtcpSchedule.takeDue(now))
        send(m_rtcpOut, due.bytes.data(), due.bytes.size(), 0);
}

void RtpSessionRelay::sendRtp(const unsigned char* packet, std::size_t size)
{
    {
        std::lock_guard lock(m_mutex);
        const auto sequence = static_cast<std::uint16_t>((packet[2] << 8) | packet[3]);
        // Extended past its 16 bits from the nearest of the highest so far.
        if (m_forwarded.empty())
            m_highestSequence = sequence;
        const auto ahead = static_cast<std::int16_t>(sequence - static_cast<std::uint16_t>(m_highestSequence));
        const std::int64_t extended = m_highestSequence + ahead;
        m_highestSequence = std::max(m_highestSequence, extended);
        m_forwarded.insert(extended);
        const std::uint32_t timestamp = (static_cast<std::uint32_t>(packet[4]) << 24) | (packet[5] << 16)
            | (packet[6] << 8) | packet[7];
        m_counts.lastFramePackets = m_forwarded.size() > 1 && timestamp == m_lastTimestamp
            ? m_counts.lastFramePackets + 1 : 1;
        m_lastTimestamp = timestamp;
        m_counts.neverForwarded = static_cast<std::uint64_t>(*m_forwarded.rbegin() - *m_forwarded.begin() + 1)
            - m_forwarded.size();
    }
    send(m_rtpOut, packet, size, 0);
}

} // namespace zephyrscope::tools

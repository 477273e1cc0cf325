#include "MuxedRtpRelay.h"

#include "LoopbackSockets.h"

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <exception>
#include <stdexcept>
#include <string>

namespace zephyrscope::tools {

namespace {

constexpr int kPollMs = 50; // how often the relay looks at its lifetime and stop flag
constexpr std::size_t kMaxDatagram = 65536;
constexpr std::size_t kRtpHeader = 12;

std::int64_t nowUs()
{
    return std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

using net::loopback;

int boundSocket()
{
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        throw std::runtime_error("Cannot open socket 'muxed rtp relay': socket failed");
    constexpr int kBufferBytes = 4 * 1024 * 1024; // seconds of the stream, so a late relay thread loses nothing
    if (setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &kBufferBytes, sizeof kBufferBytes) != 0)
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &kBufferBytes, sizeof kBufferBytes);
    sockaddr_in address = loopback(0);
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        close(fd);
        throw std::runtime_error("Cannot bind socket 'muxed rtp relay 127.0.0.1': bind failed");
    }
    return fd;
}

// RFC 7983's demultiplexing: a first byte of 128 to 191 is RTP or RTCP, and
// RTCP's packet types (192 to 223) are the second byte's RTP payload types 64 to 95.
bool isRtp(const unsigned char* packet, std::size_t size)
{
    if (size < kRtpHeader || packet[0] < 128 || packet[0] > 191)
        return false;
    const unsigned type = packet[1] & 0x7F;
    return type < 64 || type > 95;
}

std::uint32_t ssrcOf(const unsigned char* packet)
{
    return (static_cast<std::uint32_t>(packet[8]) << 24) | (packet[9] << 16) | (packet[10] << 8) | packet[11];
}

std::uint16_t sequenceOf(const unsigned char* packet)
{
    return static_cast<std::uint16_t>((packet[2] << 8) | packet[3]);
}

std::uint32_t timestampOf(const unsigned char* packet)
{
    return (static_cast<std::uint32_t>(packet[4]) << 24) | (packet[5] << 16) | (packet[6] << 8) | packet[7];
}

} // namespace

std::uint16_t MuxedRtpRelay::freeLoopbackPort()
{
    const int fd = boundSocket();
    sockaddr_in bound {};
    socklen_t length = sizeof bound;
    getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &length);
    close(fd);
    return ntohs(bound.sin_port);
}

MuxedRtpRelay::MuxedRtpRelay(const Options& options)
    : m_options(options)
    , m_end(std::chrono::steady_clock::now() + options.maxLifetime)
    , m_impairment(options.impairment)
{
    m_receiverSide = boundSocket();
    sockaddr_in bound {};
    socklen_t length = sizeof bound;
    getsockname(m_receiverSide, reinterpret_cast<sockaddr*>(&bound), &length);
    m_port = ntohs(bound.sin_port);
    for (const std::uint32_t ssrc : options.mediaSsrcs)
        m_counts.media[ssrc];
    m_thread = std::thread([this] { run(); });
}

MuxedRtpRelay::~MuxedRtpRelay()
{
    stop();
    close(m_receiverSide);
    for (const Leg& leg : m_legs)
        close(leg.fd);
}

void MuxedRtpRelay::stop()
{
    m_stopping = true;
    if (m_thread.joinable())
        m_thread.join();
}

MuxedRtpRelay::Counts MuxedRtpRelay::counts() const
{
    std::lock_guard lock(m_mutex);
    return m_counts;
}

std::map<std::uint32_t, std::map<std::uint16_t, std::int64_t>> MuxedRtpRelay::droppedOriginals() const
{
    std::lock_guard lock(m_mutex);
    return m_dropped;
}

std::map<std::pair<std::uint32_t, std::uint16_t>, std::int64_t> MuxedRtpRelay::forwardedRetransmissions() const
{
    std::lock_guard lock(m_mutex);
    return m_retransmissions;
}

std::vector<MuxedRtpRelay::Delivery> MuxedRtpRelay::deliveries() const
{
    std::lock_guard lock(m_mutex);
    return m_deliveries;
}

int MuxedRtpRelay::legFor(const sockaddr_in& receiver)
{
    for (std::size_t i = 0; i < m_legs.size(); ++i) {
        if (m_legs[i].receiver.sin_addr.s_addr == receiver.sin_addr.s_addr
            && m_legs[i].receiver.sin_port == receiver.sin_port)
            return static_cast<int>(i);
    }
    constexpr std::size_t kMostLegs = 64; // a receiver's candidates, with room to spare
    if (m_legs.size() >= kMostLegs)
        return -1;
    int fd = -1;
    try {
        fd = boundSocket();
    } catch (const std::exception&) {
        return -1; // the sender never hears of this address, as behind a full NAT
    }
    const sockaddr_in sender = loopback(m_options.senderPort);
    if (connect(fd, reinterpret_cast<const sockaddr*>(&sender), sizeof sender) != 0) {
        close(fd);
        return -1;
    }
    m_legs.push_back({receiver, fd});
    return static_cast<int>(m_legs.size() - 1);
}

void MuxedRtpRelay::run()
{
    std::vector<unsigned char> buffer(kMaxDatagram);
    std::vector<pollfd> fds;
    while (!m_stopping && std::chrono::steady_clock::now() < m_end) {
        fds.assign(1, {m_receiverSide, POLLIN, 0});
        for (const Leg& leg : m_legs)
            fds.push_back({leg.fd, POLLIN, 0});
        const int ready = poll(fds.data(), fds.size(), m_schedule.waitMs(nowUs(), kPollMs));
        sendDue();
        if (ready <= 0)
            continue;
        if (fds[0].revents & POLLIN) {
            sockaddr_in from {};
            socklen_t length = sizeof from;
            const ssize_t got = recvfrom(m_receiverSide, buffer.data(), buffer.size(), 0,
                                         reinterpret_cast<sockaddr*>(&from), &length);
            const int leg = got > 0 ? legFor(from) : -1;
            if (leg >= 0) {
                send(m_legs[static_cast<std::size_t>(leg)].fd, buffer.data(), static_cast<std::size_t>(got), 0);
                std::lock_guard lock(m_mutex);
                ++m_counts.toSender;
            }
        }
        for (std::size_t i = 1; i < fds.size(); ++i) {
            if (!(fds[i].revents & POLLIN))
                continue;
            const ssize_t got = recv(fds[i].fd, buffer.data(), buffer.size(), 0);
            if (got > 0)
                fromSender(i - 1, buffer.data(), static_cast<std::size_t>(got));
        }
    }
}

void MuxedRtpRelay::fromSender(std::size_t leg, const unsigned char* packet, std::size_t size)
{
    const std::int64_t arrivalUs = nowUs();
    std::int64_t departureUs = arrivalUs;
    if (isRtp(packet, size)) {
        std::lock_guard lock(m_mutex);
        const std::uint32_t ssrc = ssrcOf(packet);
        const auto media = m_counts.media.find(ssrc);
        const bool original = media != m_counts.media.end();
        ++(original ? media->second.originals : m_counts.retransmissionsIn);
        const impair::Impairment::Verdict verdict = m_impairment.judge(arrivalUs, size);
        m_counts.impaired = m_impairment.counts();
        if (verdict.fate != impair::Impairment::Fate::Forwarded) {
            if (original) {
                ++media->second.dropped;
                ++media->second.trailingDrops;
                m_dropped[ssrc].emplace(sequenceOf(packet), arrivalUs);
            } else {
                ++m_counts.retransmissionsDropped;
            }
            return;
        }
        if (original)
            media->second.trailingDrops = 0;
        departureUs = std::max(verdict.departureUs, arrivalUs);
        const std::int64_t holdUs = departureUs - arrivalUs;
        m_counts.leastHoldUs = m_rtpPassed++ == 0 ? holdUs : std::min(m_counts.leastHoldUs, holdUs);
        m_counts.mostHoldUs = std::max(m_counts.mostHoldUs, holdUs);
        m_counts.totalHoldUs += holdUs;
        m_lastRtpDepartureUs = std::max(m_lastRtpDepartureUs, departureUs);
        m_lastRtpHoldUs = holdUs;
        m_lastRtpArrivalUs = arrivalUs;
    } else {
        // As long as the path holds RTP now, and as far behind the RTP before it as it came.
        departureUs = std::max(m_lastRtpDepartureUs + (arrivalUs - m_lastRtpArrivalUs), arrivalUs + m_lastRtpHoldUs);
    }
    if (departureUs > arrivalUs || m_schedule.size() > 0) {
        // The schedule keeps bytes alone: the leg's number goes in front.
        std::vector<unsigned char> held(2 + size);
        held[0] = static_cast<unsigned char>(leg >> 8);
        held[1] = static_cast<unsigned char>(leg & 0xFF);
        std::copy(packet, packet + size, held.begin() + 2);
        m_schedule.add(departureUs, held.data(), held.size());
    } else {
        toReceiver(leg, packet, size);
    }
}

void MuxedRtpRelay::sendDue()
{
    for (const impair::DatagramSchedule::Datagram& due : m_schedule.takeDue(nowUs()))
        toReceiver((static_cast<std::size_t>(due.bytes[0]) << 8) | due.bytes[1], due.bytes.data() + 2,
                   due.bytes.size() - 2);
}

void MuxedRtpRelay::toReceiver(std::size_t leg, const unsigned char* packet, std::size_t size)
{
    {
        std::lock_guard lock(m_mutex);
        if (isRtp(packet, size))
            m_deliveries.push_back({ssrcOf(packet), sequenceOf(packet), timestampOf(packet), nowUs()});
        if (!isRtp(packet, size)) {
            ++m_counts.otherToReceiver;
        } else if (const auto media = m_counts.media.find(ssrcOf(packet)); media != m_counts.media.end()) {
            // Extended past 16 bits from the nearest of the highest so far.
            Forwarded& forwarded = m_forwarded[media->first];
            const std::uint16_t sequence = sequenceOf(packet);
            if (forwarded.sequences.empty())
                forwarded.highest = sequence;
            const auto ahead = static_cast<std::int16_t>(sequence - static_cast<std::uint16_t>(forwarded.highest));
            const std::int64_t extended = forwarded.highest + ahead;
            forwarded.highest = std::max(forwarded.highest, extended);
            forwarded.sequences.insert(extended);
            media->second.forwarded = forwarded.sequences.size();
            media->second.neverForwarded = static_cast<std::uint64_t>(*forwarded.sequences.rbegin()
                                                                      - *forwarded.sequences.begin() + 1)
                - forwarded.sequences.size();
        } else {
            ++m_counts.retransmissionsForwarded;
            m_retransmissions.emplace(std::pair {ssrcOf(packet), sequenceOf(packet)}, nowUs());
        }
    }
    const sockaddr_in& receiver = m_legs[leg].receiver;
    sendto(m_receiverSide, packet, size, 0, reinterpret_cast<const sockaddr*>(&receiver), sizeof receiver);
}

} // namespace zephyrscope::tools

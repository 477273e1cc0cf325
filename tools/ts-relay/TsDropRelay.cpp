#include "TsDropRelay.h"

#include "LoopbackSockets.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <set>
#include <stdexcept>
#include <utility>
#include <vector>

namespace zephyrscope::tools {

namespace {

using net::addressOf;
using net::boundPort;
int udpSocket(std::uint16_t port) { return net::udpSocket(port, "ts relay"); }

template <typename Duration>
std::int64_t microsecondsOf(Duration d)
{
    return std::chrono::duration_cast<std::chrono::microseconds>(d).count();
}

constexpr int kPollMs = 50; // how often the relay looks at its lifetime and stop flag
constexpr std::size_t kMaxDatagram = 65536;
constexpr std::size_t kTsPacket = 188, kRtpHeader = 12;

// Sending to a multicast group goes out on loopback and comes back to this host.
void sendOnLoopback(int fd)
{
    in_addr loopback {};
    loopback.s_addr = htonl(INADDR_LOOPBACK);
    setsockopt(fd, IPPROTO_IP, IP_MULTICAST_IF, &loopback, sizeof loopback);
    const unsigned char on = 1;
    setsockopt(fd, IPPROTO_IP, IP_MULTICAST_LOOP, &on, sizeof on);
}

// Where the TS packets of an RTP datagram begin; size when it has none.
std::size_t rtpPayloadOffset(const unsigned char* datagram, std::size_t size)
{
    if (size < kRtpHeader)
        return size;
    std::size_t offset = kRtpHeader + 4 * (datagram[0] & 0x0F);
    if ((datagram[0] & 0x10) && offset + 4 <= size)
        offset += 4 + 4 * ((datagram[offset + 2] << 8) | datagram[offset + 3]);
    return offset < size ? offset : size;
}

// TS packets with payload in bytes, null packets aside: what a drop costs a receiver.
std::uint64_t payloadPackets(const unsigned char* bytes, std::size_t size)
{
    std::uint64_t count = 0;
    for (std::size_t at = 0; at + kTsPacket <= size; at += kTsPacket) {
        const unsigned char* packet = bytes + at;
        const int pid = ((packet[1] & 0x1F) << 8) | packet[2];
        count += packet[0] == 0x47 && pid != 0x1FFF && (packet[3] & 0x10) != 0 ? 1 : 0;
    }
    return count;
}

bool isRetransmission(const unsigned char* datagram, std::size_t size)
{
    return size >= kRtpHeader && (datagram[11] & 0x01) != 0;
}

// A RIST retransmission carries its original's sequence number.
std::uint16_t rtpSequence(const unsigned char* datagram)
{
    return static_cast<std::uint16_t>((datagram[2] << 8) | datagram[3]);
}

std::uint32_t rtpTime(const unsigned char* d) { return std::uint32_t {d[4]} << 24 | d[5] << 16 | d[6] << 8 | d[7]; }

} // namespace

TsDropRelay::TsDropRelay(const Options& options)
    : m_options(options)
    , m_end(std::chrono::steady_clock::now() + options.maxLifetime)
    , m_impairment(options.impairment)
    , m_wallMinusSteadyUs(microsecondsOf(std::chrono::system_clock::now().time_since_epoch())
                          - microsecondsOf(std::chrono::steady_clock::now().time_since_epoch()))
{
    // An even port with, for RTCP, the next one free as well.
    const net::PortPair ports = net::evenPortPair(options.rtcp, "ts relay");
    m_dataIn = ports.even;
    m_rtcpIn = ports.next;
    m_port = ports.port;
    if (m_dataIn < 0)
        throw std::runtime_error("Cannot bind socket 'ts relay 127.0.0.1': no free port pair");
    m_dataOut = udpSocket(0);
    sendOnLoopback(m_dataOut);
    if (options.rtcp) {
        m_rtcpOut = udpSocket(0);
        sockaddr_in target = addressOf(options.targetHost, static_cast<std::uint16_t>(options.targetPort + 1));
        connect(m_rtcpOut, reinterpret_cast<sockaddr*>(&target), sizeof target);
    }
    m_thread = std::thread([this] { run(); });
}

TsDropRelay::~TsDropRelay()
{
    stop();
    for (const int fd : {m_dataIn, m_dataOut, m_rtcpIn, m_rtcpOut}) {
        if (fd >= 0)
            close(fd);
    }
}

void TsDropRelay::stop()
{
    m_stopping = true;
    if (m_thread.joinable())
        m_thread.join();
}

TsDropRelay::Counts TsDropRelay::counts() const
{
    std::lock_guard lock(m_mutex);
    Counts counts = m_counts;
    counts.videoFrames = m_frameDamage.frames();
    counts.keyFrames = m_frameDamage.keyFrames();
    counts.framesDamageBound = m_frameDamage.damageBound();
    counts.framesDamagedWhole = m_frameDamage.damagedWhole();
    if (m_options.repairDeadline.count() > 0) {
        const RepairDeadlines::Verdict verdict = m_deadlines.judge(m_options.repairDeadline.count());
        counts.repairedLate = verdict.late;
        counts.gapsWaitedFor = verdict.gapsWaitedFor;
        counts.repairedBeforeGapEnded = verdict.beforeGapEnded;
        counts.latestInTimeRepairUs = verdict.latestInTimeUs;
        counts.earliestLateRepairUs = verdict.earliestLateUs;
        counts.deliveries = m_deadlines.deliveries(m_options.repairDeadline.count(), m_wallMinusSteadyUs);
    }
    counts.videoFrameSequences = m_frameSequences;
    counts.videoFrameLog = m_frameDamage.frameLog();
    std::int64_t availableUs = 0;
    for (const auto& [sequence, firstUs] : m_forwarded) {
        const std::int64_t nowAvailableUs = std::max(availableUs, firstUs);
        if (availableUs > 0)
            counts.longestInOrderWaitUs = std::max(counts.longestInOrderWaitUs, nowAvailableUs - availableUs);
        availableUs = nowAvailableUs;
    }
    return counts;
}

void TsDropRelay::run()
{
    sockaddr_in sender {};
    bool senderKnown = false;
    std::vector<unsigned char> buffer(kMaxDatagram);
    while (!m_stopping && std::chrono::steady_clock::now() < m_end) {
        pollfd fds[3] = {{m_dataIn, POLLIN, 0}, {m_rtcpIn, POLLIN, 0}, {m_rtcpOut, POLLIN, 0}};
        const nfds_t count = m_options.rtcp ? 3 : 1;
        const std::int64_t nowUs = microsecondsOf(std::chrono::steady_clock::now().time_since_epoch());
        const int ready = poll(fds, count, m_schedule.waitMs(nowUs, kPollMs));
        sendDue();
        if (ready <= 0)
            continue;
        if (fds[0].revents & POLLIN) {
            const ssize_t got = recv(m_dataIn, buffer.data(), buffer.size(), 0);
            if (got > 0)
                relayData(buffer.data(), static_cast<std::size_t>(got));
        }
        if (count > 1 && (fds[1].revents & POLLIN)) {
            socklen_t length = sizeof sender;
            const ssize_t got = recvfrom(m_rtcpIn, buffer.data(), buffer.size(), 0,
                                         reinterpret_cast<sockaddr*>(&sender), &length);
            senderKnown = got > 0 || senderKnown;
            if (got > 0)
                send(m_rtcpOut, buffer.data(), static_cast<std::size_t>(got), 0);
        }
        if (count > 2 && (fds[2].revents & POLLIN)) {
            const ssize_t got = recv(m_rtcpOut, buffer.data(), buffer.size(), 0);
            m_receiverRtcpSeen = m_receiverRtcpSeen || got > 0;
            if (got > 0 && senderKnown)
                sendto(m_rtcpIn, buffer.data(), static_cast<std::size_t>(got), 0,
                       reinterpret_cast<const sockaddr*>(&sender), sizeof sender);
        }
    }
}

void TsDropRelay::sendDue()
{
    const std::int64_t nowUs = microsecondsOf(std::chrono::steady_clock::now().time_since_epoch());
    for (const impair::DatagramSchedule::Datagram& due : m_schedule.takeDue(nowUs))
        sendData(due.bytes.data(), due.bytes.size());
}

void TsDropRelay::sendData(const unsigned char* datagram, std::size_t size)
{
    // Counted as they leave, not as they came: a retransmission that overtakes
    // its delayed or held original reaches the receiver first, and repairs it.
    if (m_options.framing == Framing::Rtp && size >= kRtpHeader) {
        std::lock_guard lock(m_mutex);
        if (m_options.rtcp && isRetransmission(datagram, size)) {
            // What the receiver's RTP session refuses never reaches its jitter buffer.
            for (const std::uint16_t sequence : m_repairCheck.arrived(rtpSequence(datagram), rtpTime(datagram)))
                countForwarded(sequence, true);
            m_counts.repairsRefused = m_repairCheck.refused();
        } else {
            countForwarded(rtpSequence(datagram), false);
        }
    }
    const sockaddr_in target = addressOf(m_options.targetHost, m_options.targetPort);
    sendto(m_dataOut, datagram, size, 0, reinterpret_cast<const sockaddr*>(&target), sizeof target);
    if (m_options.mirrorPort != 0) {
        const sockaddr_in mirror = addressOf(m_options.targetHost, m_options.mirrorPort);
        sendto(m_dataOut, datagram, size, 0, reinterpret_cast<const sockaddr*>(&mirror), sizeof mirror);
    }
}

void TsDropRelay::blackout(std::chrono::milliseconds duration)
{
    m_blackoutUntilUs = microsecondsOf(std::chrono::steady_clock::now().time_since_epoch() + duration);
}

void TsDropRelay::relayData(const unsigned char* datagram, std::size_t size)
{
    const bool rtp = m_options.framing == Framing::Rtp;
    const std::int64_t nowUs = microsecondsOf(std::chrono::steady_clock::now().time_since_epoch());
    std::int64_t departureUs = nowUs;
    bool drop = false;
    {
        std::lock_guard lock(m_mutex);
        if (nowUs < m_blackoutUntilUs.load()) {
            ++m_counts.blackedOut;
            m_swallowedSincePassed = true;
            if (!(rtp && m_options.rtcp && isRetransmission(datagram, size))) {
                trackContinuity(datagram, size, false);
                const std::size_t start = rtp ? rtpPayloadOffset(datagram, size) : 0;
                m_counts.tsPacketsBlackedOut += payloadPackets(datagram + start, size - start);
                if (rtp && size >= kRtpHeader)
                    m_deadlines.originalDropped(extendedSequence(rtpSequence(datagram)), nowUs);
            }
            return;
        }
        const std::int64_t wallUs = microsecondsOf(std::chrono::system_clock::now().time_since_epoch());
        if (m_swallowedSincePassed && m_lastPassedWallUs > 0) {
            m_counts.blackoutFromWallUs = m_lastPassedWallUs;
            m_counts.blackoutToWallUs = wallUs;
        }
        m_swallowedSincePassed = false;
        if (rtp && m_options.rtcp && isRetransmission(datagram, size)) {
            if (m_options.dropRetransmissions && m_droppedSequences.count(rtpSequence(datagram)) > 0) {
                ++m_counts.retransmissionsDropped;
                return;
            }
            ++m_counts.retransmitted;
        } else {
            ++m_counts.originals;
            const bool requestsReachSender = !m_options.rtcp || m_receiverRtcpSeen;
            drop = requestsReachSender && m_options.dropEvery > 0
                && m_counts.originals % static_cast<std::uint64_t>(m_options.dropEvery) == 0;
            if (!drop) {
                const impair::Impairment::Verdict verdict = m_impairment.judge(nowUs, size, requestsReachSender);
                drop = verdict.fate != impair::Impairment::Fate::Forwarded;
                departureUs = verdict.departureUs;
                // An outage is a blackout as the data sees it: its span is kept the same way.
                if (verdict.fate == impair::Impairment::Fate::Swallowed)
                    m_swallowedSincePassed = true;
                m_counts.impaired = m_impairment.counts();
            }
        }
        if (!(rtp && m_options.rtcp && isRetransmission(datagram, size))) {
            const std::uint64_t framesBefore = m_frameDamage.frames();
            trackPes(datagram, size, drop, wallUs + (drop ? 0 : std::max<std::int64_t>(0, departureUs - nowUs)));
            if (rtp && size >= kRtpHeader && m_frameDamage.frames() != framesBefore)
                m_frameSequences.resize(m_frameDamage.frames(), extendedSequence(rtpSequence(datagram)));
            trackContinuity(datagram, size, !drop);
        }
        if (drop) {
            if (rtp && size >= kRtpHeader) {
                m_droppedSequences.insert(rtpSequence(datagram));
                // A dropped original would have left now: its repair's deadline runs from here.
                m_deadlines.originalDropped(extendedSequence(rtpSequence(datagram)), nowUs);
            }
            ++m_counts.dropped;
            ++m_counts.trailingDrops;
        } else {
            m_counts.trailingDrops = m_counts.trailingTsPackets = 0;
        }
    }
    if (drop) {
        countDropped(datagram, size);
        return;
    }
    {
        std::lock_guard lock(m_mutex);
        m_lastPassedWallUs = microsecondsOf(std::chrono::system_clock::now().time_since_epoch());
    }
    // Whatever is already due leaves first, so a datagram due now goes straight
    // out only when nothing waits.
    if (departureUs > nowUs || m_schedule.size() > 0)
        m_schedule.add(departureUs, datagram, size);
    else
        sendData(datagram, size);
}

std::int64_t TsDropRelay::extendedSequence(std::uint16_t sequence)
{
    if (!m_sequenceKnown)
        m_highestSequence = sequence;
    m_sequenceKnown = true;
    const auto ahead = static_cast<std::int16_t>(sequence - static_cast<std::uint16_t>(m_highestSequence));
    const std::int64_t extended = m_highestSequence + ahead;
    m_highestSequence = std::max(m_highestSequence, extended);
    return extended;
}

void TsDropRelay::countForwarded(std::uint16_t sequence, bool retransmission)
{
    const std::int64_t extended = extendedSequence(sequence);
    const std::int64_t nowUs = microsecondsOf(std::chrono::steady_clock::now().time_since_epoch());
    if (!retransmission)
        m_deadlines.originalForwarded(extended, nowUs);
    // The receiver takes the first copy that comes; later ones are duplicates.
    if (m_forwarded.emplace(extended, nowUs).second && retransmission) {
        ++m_counts.repaired;
        m_deadlines.repairForwarded(extended, nowUs);
    }
    m_counts.forwarded = m_forwarded.size();
    m_counts.neverForwarded = static_cast<std::uint64_t>(m_forwarded.rbegin()->first - m_forwarded.begin()->first + 1)
        - m_forwarded.size();
}

void TsDropRelay::countDropped(const unsigned char* datagram, std::size_t size)
{
    const std::size_t start = m_options.framing == Framing::Rtp ? rtpPayloadOffset(datagram, size) : 0;
    std::set<std::uint16_t> pids;
    std::lock_guard lock(m_mutex);
    for (std::size_t at = start; at + kTsPacket <= size; at += kTsPacket) {
        const unsigned char* packet = datagram + at;
        const auto pid = static_cast<std::uint16_t>(((packet[1] & 0x1F) << 8) | packet[2]);
        const bool payload = (packet[3] & 0x10) != 0;
        if (packet[0] != 0x47 || pid == 0x1FFF || !payload)
            continue;
        ++m_counts.tsPacketsDropped;
        ++m_counts.trailingTsPackets;
        ++m_counts.tsPacketsDroppedPerPid[pid];
        pids.insert(pid);
    }
    m_counts.continuityGaps += pids.size();
}

void TsDropRelay::trackPes(const unsigned char* datagram, std::size_t size, bool dropped, std::int64_t wallUs)
{
    const std::size_t start = m_options.framing == Framing::Rtp ? rtpPayloadOffset(datagram, size) : 0;
    // Plain RTP: the receiver's depayloader marks the first packet after a
    // sequence gap DISCONT, and its demuxer flushes (TsDemuxFollower).
    if (m_options.framing == Framing::Rtp && !m_options.rtcp) {
        if (!dropped && m_sequenceGapBefore)
            m_frameDamage.discontinuity();
        m_sequenceGapBefore = dropped;
    }
    for (std::size_t at = start; at + kTsPacket <= size; at += kTsPacket) {
        const unsigned char* packet = datagram + at;
        const auto pid = static_cast<std::uint16_t>(((packet[1] & 0x1F) << 8) | packet[2]);
        if (packet[0] != 0x47 || pid == 0x1FFF)
            continue;
        // Packets without payload too: their adaptation fields carry the PCR.
        m_frameDamage.packet(packet, dropped, wallUs);
        if ((packet[3] & 0x10) == 0)
            continue;
        std::uint64_t& number = m_pesNumber[pid];
        if (packet[1] & 0x40)
            ++number;
        if (dropped && m_damagedPes.insert({pid, number}).second)
            ++m_counts.pesDamagedPerPid[pid];
    }
}

void TsDropRelay::trackContinuity(const unsigned char* datagram, std::size_t size, bool passed)
{
    const std::size_t start = m_options.framing == Framing::Rtp ? rtpPayloadOffset(datagram, size) : 0;
    for (std::size_t at = start; at + kTsPacket <= size; at += kTsPacket) {
        const unsigned char* packet = datagram + at;
        const auto pid = static_cast<std::uint16_t>(((packet[1] & 0x1F) << 8) | packet[2]);
        if (packet[0] != 0x47 || pid == 0x1FFF)
            continue;
        const bool payload = (packet[3] & 0x10) != 0;
        const bool adaptation = (packet[3] & 0x20) != 0;
        const bool discontinuity = adaptation && packet[4] > 0 && (packet[5] & 0x80) != 0;
        PidContinuity& pidState = m_continuity[pid];
        if (!passed) {
            if (payload)
                ++pidState.unpassed;
            continue;
        }
        // A discontinuity starts the counter afresh; so does a PID's first payload
        // packet. Packets without payload leave the counter where it was.
        if (discontinuity || (!pidState.counterKnown && payload)) {
            pidState = PidContinuity {true, 0};
        } else if (payload) {
            // Fifteen missing bring back the counter of the packet before them: a
            // packet sent twice, which TS allows, reads the same.
            const std::uint64_t shown = pidState.unpassed % 16;
            m_counts.tsPacketsShownMissing += shown == 15 ? 0 : shown;
            m_counts.continuityGapsShown += shown != 0 && shown != 15;
            pidState.unpassed = 0;
        }
    }
}

} // namespace zephyrscope::tools

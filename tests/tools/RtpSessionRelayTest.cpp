#include "RtpSessionRelay.h"
#include "LoopbackSockets.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <stdexcept>
#include <vector>

using namespace zephyrscope::tools;
using namespace std::chrono_literals;

namespace {

using zephyrscope::tools::net::loopback;

// A UDP socket bound to a free port on 127.0.0.1, closed with it.
class Endpoint {
public:
    Endpoint()
    {
        m_fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in address = loopback(0);
        socklen_t length = sizeof address;
        if (m_fd < 0 || bind(m_fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0
            || getsockname(m_fd, reinterpret_cast<sockaddr*>(&address), &length) != 0)
            throw std::runtime_error("Cannot bind socket 'test endpoint 127.0.0.1'");
        m_port = ntohs(address.sin_port);
    }
    ~Endpoint() { close(m_fd); }
    Endpoint(const Endpoint&) = delete;
    Endpoint& operator=(const Endpoint&) = delete;

    std::uint16_t port() const { return m_port; }
    void sendTo(std::uint16_t port, const std::vector<unsigned char>& bytes) const
    {
        const sockaddr_in to = loopback(port);
        sendto(m_fd, bytes.data(), bytes.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
    }
    // The next datagram within the timeout, and where it came from; empty when none came.
    std::vector<unsigned char> receive(std::chrono::milliseconds timeout, std::uint16_t* fromPort = nullptr) const
    {
        pollfd ready {m_fd, POLLIN, 0};
        if (poll(&ready, 1, static_cast<int>(timeout.count())) <= 0)
            return {};
        std::vector<unsigned char> bytes(65536);
        sockaddr_in from {};
        socklen_t length = sizeof from;
        const ssize_t got = recvfrom(m_fd, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&from), &length);
        bytes.resize(got > 0 ? static_cast<std::size_t>(got) : 0);
        if (fromPort)
            *fromPort = ntohs(from.sin_port);
        return bytes;
    }

private:
    int m_fd = -1;
    std::uint16_t m_port = 0;
};

std::vector<unsigned char> rtpPacket(std::uint16_t sequence, std::size_t size)
{
    std::vector<unsigned char> packet(size, 0xAB);
    packet[0] = 0x80;
    packet[1] = 96;
    packet[2] = static_cast<unsigned char>(sequence >> 8);
    packet[3] = static_cast<unsigned char>(sequence & 0xFF);
    return packet;
}

std::uint16_t sequenceOf(const std::vector<unsigned char>& packet)
{
    return static_cast<std::uint16_t>((packet[2] << 8) | packet[3]);
}

std::int64_t elapsedUs(std::chrono::steady_clock::time_point since)
{
    return std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - since).count();
}

} // namespace

TEST(RtpSessionRelay, DelaysEveryPacketInOrderAndCountsItsHold)
{
    Endpoint sender, receiverRtp;
    RtpSessionRelay::Options options;
    options.receiverRtpPort = receiverRtp.port();
    options.receiverRtcpPort = receiverRtp.port(); // unused here
    options.impairment.delay.delayUs = 60000;
    options.impairment.delay.jitterUs = 20000;
    options.impairment.delay.seed = 7;
    options.maxLifetime = 20s;
    RtpSessionRelay relay(options);

    constexpr int kPackets = 40;
    // Sequence numbers across the 16-bit wrap, as a long session's would be.
    constexpr std::uint16_t kFirst = 65530;
    std::vector<std::int64_t> sentUs;
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < kPackets; ++i) {
        sentUs.push_back(elapsedUs(start));
        sender.sendTo(relay.port(), rtpPacket(static_cast<std::uint16_t>(kFirst + i), 200));
    }
    std::int64_t leastSeenUs = INT64_MAX;
    for (int i = 0; i < kPackets; ++i) {
        const std::vector<unsigned char> packet = receiverRtp.receive(5s);
        ASSERT_EQ(packet.size(), 200u) << "packet " << i;
        EXPECT_EQ(sequenceOf(packet), static_cast<std::uint16_t>(kFirst + i)) << "in order";
        leastSeenUs = std::min(leastSeenUs, elapsedUs(start) - sentUs[static_cast<std::size_t>(i)]);
    }
    // Nothing leaves before the least the model may draw.
    EXPECT_GE(leastSeenUs, 40000);
    relay.stop();
    const RtpSessionRelay::Counts c = relay.counts();
    EXPECT_EQ(c.rtpIn, static_cast<std::uint64_t>(kPackets));
    EXPECT_EQ(c.forwarded, static_cast<std::uint64_t>(kPackets));
    EXPECT_EQ(c.dropped, 0u);
    EXPECT_EQ(c.neverForwarded, 0u);
    EXPECT_EQ(c.impaired.delayed, static_cast<std::uint64_t>(kPackets));
    EXPECT_EQ(c.lastFramePackets, static_cast<std::uint64_t>(kPackets)) << "every packet carries one timestamp";
    EXPECT_GE(c.leastHoldUs, 40000);
    EXPECT_LE(c.mostHoldUs, 80000 + 1000);
    EXPECT_GE(c.totalHoldUs, kPackets * c.leastHoldUs);
    EXPECT_LE(c.leastHoldUs, leastSeenUs);
}

TEST(RtpSessionRelay, CapDropsWhatOverflowsItsQueueAndCountsTheGapsExactly)
{
    Endpoint sender, receiverRtp;
    RtpSessionRelay::Options options;
    options.receiverRtpPort = receiverRtp.port();
    options.receiverRtcpPort = receiverRtp.port();
    // 80 kbit/s: 10 bytes a millisecond; a bucket of one packet and a queue of three.
    options.impairment.rate.bitsPerSecond = 80000;
    options.impairment.rate.bucketBytes = 1000;
    options.impairment.rate.queueBytes = 3000;
    options.maxLifetime = 20s;
    RtpSessionRelay relay(options);

    constexpr int kPackets = 30;
    for (int i = 0; i < kPackets; ++i)
        sender.sendTo(relay.port(), rtpPacket(static_cast<std::uint16_t>(100 + i), 1000));
    // A burst at once: the bucket's packet and the queue's three pass, the rest overflow.
    std::vector<std::uint16_t> received;
    for (std::vector<unsigned char> packet = receiverRtp.receive(3s); !packet.empty();
         packet = receiverRtp.receive(1s))
        received.push_back(sequenceOf(packet));
    // Once the queue drained, the link takes a packet again: it is the last one
    // passed, after a gap of dropped ones.
    sender.sendTo(relay.port(), rtpPacket(100 + kPackets, 1000));
    const std::vector<unsigned char> late = receiverRtp.receive(3s);
    ASSERT_FALSE(late.empty());
    received.push_back(sequenceOf(late));
    relay.stop();

    const RtpSessionRelay::Counts c = relay.counts();
    EXPECT_EQ(c.rtpIn, static_cast<std::uint64_t>(kPackets + 1));
    EXPECT_EQ(c.forwarded, received.size());
    EXPECT_EQ(c.forwarded + c.dropped, c.rtpIn);
    EXPECT_EQ(c.dropped, c.impaired.capped);
    EXPECT_EQ(received.size(), 5u) << "one through the bucket, three from the queue, the late one";
    EXPECT_EQ(c.trailingDrops, 0u) << "the late packet came after every drop";
    EXPECT_EQ(c.neverForwarded, static_cast<std::uint64_t>(received.back() - received.front() + 1) - received.size());
    EXPECT_EQ(c.neverForwarded, c.dropped);
    // What waited in the queue left at the link's rate, a packet every 100 ms
    // after the first: the third held left 300 ms after the first arrived, less
    // however much later than the first it arrived itself (1.1 ms seen on a
    // loaded machine). More than 250 ms shows two left ahead of it at that rate.
    EXPECT_EQ(c.impaired.held, 3u);
    EXPECT_EQ(c.mostHoldUs, c.impaired.longestHoldUs);
    EXPECT_GT(c.mostHoldUs, 250000);
    EXPECT_LE(c.mostHoldUs, 300000 + 1);
}

TEST(RtpSessionRelay, PassesRtcpBothWaysAndIgnoresWhatIsNotRtp)
{
    Endpoint senderRtcp, receiverRtp, receiverRtcp;
    RtpSessionRelay::Options options;
    options.receiverRtpPort = receiverRtp.port();
    options.receiverRtcpPort = receiverRtcp.port();
    options.maxLifetime = 20s;
    RtpSessionRelay relay(options);
    EXPECT_EQ(relay.port() % 2, 0);
    EXPECT_EQ(relay.rtcpPort(), relay.port() + 1);

    const std::vector<unsigned char> senderReport {0x80, 200, 0x00, 0x06, 1, 2, 3, 4};
    senderRtcp.sendTo(relay.rtcpPort(), senderReport);
    std::uint16_t relayRtcpOut = 0;
    EXPECT_EQ(receiverRtcp.receive(3s, &relayRtcpOut), senderReport);
    // The receiver answers where the report came from; the relay passes it back.
    const std::vector<unsigned char> receiverReport {0x80, 201, 0x00, 0x01, 5, 6, 7, 8};
    receiverRtcp.sendTo(relayRtcpOut, receiverReport);
    EXPECT_EQ(senderRtcp.receive(3s), receiverReport);

    senderRtcp.sendTo(relay.port(), {0x00, 0x01, 0x02});
    EXPECT_TRUE(receiverRtp.receive(300ms).empty());
    relay.stop();
    const RtpSessionRelay::Counts c = relay.counts();
    EXPECT_EQ(c.rtcpToReceiver, 1u);
    EXPECT_EQ(c.rtcpToSender, 1u);
    EXPECT_EQ(c.rtpIn, 0u);
}

TEST(RtpSessionRelay, SenderRtcpKeepsItsPlaceBehindTheRtpHeldBeforeIt)
{
    Endpoint sender, receiverRtp, receiverRtcp;
    RtpSessionRelay::Options options;
    options.receiverRtpPort = receiverRtp.port();
    options.receiverRtcpPort = receiverRtcp.port();
    options.impairment.delay.delayUs = 80000;
    options.maxLifetime = 20s;
    RtpSessionRelay relay(options);

    const auto start = std::chrono::steady_clock::now();
    for (std::uint16_t i = 0; i < 5; ++i)
        sender.sendTo(relay.port(), rtpPacket(i, 300));
    const std::vector<unsigned char> bye {0x81, 203, 0x00, 0x01, 1, 2, 3, 4};
    sender.sendTo(relay.rtcpPort(), bye);
    // A BYE that overtook the held packets would end the receiver's stream before them.
    EXPECT_EQ(receiverRtcp.receive(5s), bye);
    EXPECT_GE(elapsedUs(start), 80000);
    for (std::uint16_t i = 0; i < 5; ++i) {
        const std::vector<unsigned char> packet = receiverRtp.receive(0ms);
        ASSERT_EQ(packet.size(), 300u) << "packet " << i << " had left before the BYE";
        EXPECT_EQ(sequenceOf(packet), i);
    }
    relay.stop();
    EXPECT_EQ(relay.counts().rtcpToReceiver, 1u);
}

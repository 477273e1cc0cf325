#include "MuxedRtpRelay.h"
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

constexpr std::uint32_t kVideo = 0x11223344;
constexpr std::uint32_t kRetransmission = 0x0BADCAFE;

using zephyrscope::tools::net::loopback;

// One end of the path: a UDP socket on a free port of 127.0.0.1, answering
// whoever wrote to it last.
class Peer {
public:
    Peer()
    {
        m_fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in address = loopback(0);
        socklen_t length = sizeof address;
        if (m_fd < 0 || bind(m_fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0
            || getsockname(m_fd, reinterpret_cast<sockaddr*>(&address), &length) != 0)
            throw std::runtime_error("Cannot bind socket 'test peer 127.0.0.1'");
        m_port = ntohs(address.sin_port);
    }
    ~Peer() { close(m_fd); }
    Peer(const Peer&) = delete;
    Peer& operator=(const Peer&) = delete;

    void sendTo(std::uint16_t port, const std::vector<unsigned char>& bytes)
    {
        const sockaddr_in to = loopback(port);
        sendto(m_fd, bytes.data(), bytes.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
    }
    void reply(const std::vector<unsigned char>& bytes)
    {
        sendto(m_fd, bytes.data(), bytes.size(), 0, reinterpret_cast<const sockaddr*>(&m_last), sizeof m_last);
    }
    std::vector<unsigned char> receive(std::chrono::milliseconds timeout)
    {
        pollfd ready {m_fd, POLLIN, 0};
        if (poll(&ready, 1, static_cast<int>(timeout.count())) <= 0)
            return {};
        std::vector<unsigned char> bytes(65536);
        socklen_t length = sizeof m_last;
        const ssize_t got = recvfrom(m_fd, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&m_last), &length);
        bytes.resize(got > 0 ? static_cast<std::size_t>(got) : 0);
        return bytes;
    }
    std::uint16_t lastPort() const { return ntohs(m_last.sin_port); }
    std::uint16_t port() const { return m_port; }

private:
    int m_fd = -1;
    std::uint16_t m_port = 0;
    sockaddr_in m_last {};
};

std::vector<unsigned char> rtp(std::uint32_t ssrc, std::uint16_t sequence, std::size_t size)
{
    std::vector<unsigned char> packet(size, 0x5A);
    packet[0] = 0x80;
    packet[1] = 96;
    packet[2] = static_cast<unsigned char>(sequence >> 8);
    packet[3] = static_cast<unsigned char>(sequence & 0xFF);
    for (int i = 0; i < 4; ++i)
        packet[8 + i] = static_cast<unsigned char>(ssrc >> (24 - 8 * i));
    return packet;
}

// A STUN binding request's first bytes: type 0x0001, RFC 7983's range 0 to 3.
const std::vector<unsigned char> kStun {0x00, 0x01, 0x00, 0x00, 0x21, 0x12, 0xA4, 0x42, 1, 2, 3, 4};
// An RTCP sender report (packet type 200: RTP's payload type 72 with the marker bit).
const std::vector<unsigned char> kSenderReport {0x80, 200, 0x00, 0x06, 0x11, 0x22, 0x33, 0x44, 0, 0, 0, 0};

} // namespace

TEST(MuxedRtpRelay, CarriesBothWaysThroughOnePortAndCountsOriginalsAndRetransmissions)
{
    Peer sender, receiver;
    MuxedRtpRelay::Options options;
    options.senderPort = sender.port();
    options.mediaSsrcs = {kVideo};
    // 80 kbit/s: 10 bytes a millisecond; a bucket of one packet and a queue of two.
    options.impairment.rate.bitsPerSecond = 80000;
    options.impairment.rate.bucketBytes = 1000;
    options.impairment.rate.queueBytes = 2000;
    options.maxLifetime = 20s;
    MuxedRtpRelay relay(options);

    // The receiver's check reaches the sender from the relay's own socket.
    receiver.sendTo(relay.port(), kStun);
    ASSERT_EQ(sender.receive(3s), kStun);
    EXPECT_NE(sender.lastPort(), receiver.port());

    for (std::uint16_t sequence = 10; sequence < 16; ++sequence)
        sender.reply(rtp(kVideo, sequence, 1000));
    sender.reply(kSenderReport);
    // The bucket's packet, the queue's two, then the report behind them; the rest overflowed.
    for (const std::uint16_t expected : {10, 11, 12}) {
        const std::vector<unsigned char> packet = receiver.receive(3s);
        ASSERT_EQ(packet.size(), 1000u) << "packet " << expected;
        EXPECT_EQ((packet[2] << 8) | packet[3], expected);
    }
    EXPECT_EQ(receiver.receive(3s), kSenderReport);
    EXPECT_EQ(receiver.lastPort(), relay.port());

    sender.reply(rtp(kRetransmission, 1, 1000));
    EXPECT_EQ(receiver.receive(3s).size(), 1000u);
    sender.reply(rtp(kVideo, 16, 1000));
    EXPECT_EQ(receiver.receive(3s).size(), 1000u);
    relay.stop();

    const MuxedRtpRelay::Counts c = relay.counts();
    const MuxedRtpRelay::MediaCounts& video = c.media.at(kVideo);
    EXPECT_EQ(video.originals, 7u);
    EXPECT_EQ(video.forwarded, 4u);
    EXPECT_EQ(video.dropped, 3u);
    EXPECT_EQ(video.trailingDrops, 0u);
    EXPECT_EQ(video.neverForwarded, 3u);
    EXPECT_EQ(c.retransmissionsIn, 1u);
    EXPECT_EQ(c.retransmissionsForwarded, 1u);
    EXPECT_EQ(c.retransmissionsDropped, 0u);
    EXPECT_EQ(c.otherToReceiver, 1u);
    EXPECT_EQ(c.toSender, 1u);
    EXPECT_EQ(c.impaired.capped, 3u);
    // The queue's second packet left two packets' time after the first arrived,
    // less how much later it arrived itself: over 150 ms shows one left ahead of
    // it at the link's rate.
    EXPECT_EQ(c.mostHoldUs, c.impaired.longestHoldUs);
    EXPECT_GT(c.mostHoldUs, 150000);
    EXPECT_LE(c.mostHoldUs, 200000 + 1);

    const auto dropped = relay.droppedOriginals();
    ASSERT_EQ(dropped.count(kVideo), 1u);
    ASSERT_EQ(dropped.at(kVideo).size(), 3u);
    EXPECT_EQ(dropped.at(kVideo).begin()->first, 13);
    const auto retransmissions = relay.forwardedRetransmissions();
    ASSERT_EQ(retransmissions.size(), 1u);
    EXPECT_EQ(retransmissions.begin()->first, std::make_pair(kRetransmission, std::uint16_t {1}));
    // It left after the originals it might repair were dropped.
    EXPECT_GT(retransmissions.begin()->second, dropped.at(kVideo).rbegin()->second);
}

TEST(MuxedRtpRelay, DelaysTheSendersRtp)
{
    Peer sender, receiver;
    MuxedRtpRelay::Options options;
    options.senderPort = sender.port();
    options.mediaSsrcs = {kVideo};
    options.impairment.delay.delayUs = 80000;
    options.maxLifetime = 20s;
    MuxedRtpRelay relay(options);

    receiver.sendTo(relay.port(), kStun);
    ASSERT_EQ(sender.receive(3s), kStun);
    sender.reply(rtp(kVideo, 7, 300));
    const auto sent = std::chrono::steady_clock::now();
    EXPECT_EQ(receiver.receive(3s).size(), 300u);
    EXPECT_GE(std::chrono::steady_clock::now() - sent, 80ms);
    relay.stop();
    const MuxedRtpRelay::Counts c = relay.counts();
    EXPECT_EQ(c.media.at(kVideo).forwarded, 1u);
    EXPECT_EQ(c.impaired.delayed, 1u);
    EXPECT_GE(c.leastHoldUs, 80000);
}

TEST(MuxedRtpRelay, AnswersEachOfTheReceiversAddressesThroughASocketOfItsOwn)
{
    Peer sender, first, second;
    MuxedRtpRelay::Options options;
    options.senderPort = sender.port();
    options.maxLifetime = 20s;
    MuxedRtpRelay relay(options);

    // A receiver checks from each of its candidates: the sender must tell them apart.
    first.sendTo(relay.port(), kStun);
    ASSERT_EQ(sender.receive(3s), kStun);
    const std::uint16_t forFirst = sender.lastPort();
    second.sendTo(relay.port(), kStun);
    ASSERT_EQ(sender.receive(3s), kStun);
    const std::uint16_t forSecond = sender.lastPort();
    EXPECT_NE(forFirst, forSecond);

    const std::vector<unsigned char> toSecond {0x01, 0x01, 0x00, 0x00, 2, 2, 2, 2};
    const std::vector<unsigned char> toFirst {0x01, 0x01, 0x00, 0x00, 1, 1, 1, 1};
    sender.sendTo(forSecond, toSecond);
    sender.sendTo(forFirst, toFirst);
    EXPECT_EQ(first.receive(3s), toFirst);
    EXPECT_EQ(second.receive(3s), toSecond);
    relay.stop();
    EXPECT_EQ(relay.counts().toSender, 2u);
    EXPECT_EQ(relay.counts().otherToReceiver, 2u);
}

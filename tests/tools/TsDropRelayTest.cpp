#include "TsDropRelay.h"
#include "LoopbackSockets.h"

#include "TransportStreamAnalyser.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <iostream>
#include <thread>
#include <vector>

using namespace zephyrscope;
using namespace std::chrono_literals;

namespace {

constexpr std::size_t kTsPacket = 188;
constexpr int kDatagrams = 800;
constexpr std::uint16_t kVideoPid = 0x100, kAudioPid = 0x101, kPcrOnlyPid = 0x102;

using zephyrscope::tools::net::loopback;

// A made-up transport stream, seven packets a datagram: five of a video PID
// (the first of datagram 400 marked as a discontinuity), one of an audio PID
// and one without payload, whose counter never moves.
class TsStream {
public:
    std::vector<unsigned char> datagram(int index)
    {
        std::vector<unsigned char> bytes;
        for (int k = 0; k < 5; ++k)
            append(bytes, kVideoPid, true, index == 400 && k == 0);
        append(bytes, kAudioPid, true, false);
        append(bytes, kPcrOnlyPid, false, false);
        return bytes;
    }

private:
    void append(std::vector<unsigned char>& bytes, std::uint16_t pid, bool payload, bool discontinuity)
    {
        std::array<unsigned char, kTsPacket> packet {};
        packet.fill(0xFF);
        std::uint8_t& counter = m_counters[pid & 0x0F];
        if (discontinuity)
            counter = 9; // anywhere: a discontinuity starts the counter afresh
        packet[0] = 0x47;
        packet[1] = static_cast<unsigned char>(pid >> 8);
        packet[2] = static_cast<unsigned char>(pid & 0xFF);
        const bool adaptation = discontinuity || !payload;
        packet[3] = static_cast<unsigned char>((adaptation ? 0x20 : 0) | (payload ? 0x10 : 0) | counter);
        if (adaptation) {
            packet[4] = payload ? 1 : 183;
            packet[5] = discontinuity ? 0x80 : 0x00;
        }
        if (payload)
            counter = static_cast<std::uint8_t>((counter + 1) & 0x0F);
        bytes.insert(bytes.end(), packet.begin(), packet.end());
    }

    std::array<std::uint8_t, 16> m_counters {};
};

} // namespace

TEST(TsDropRelay, CountsWhatTheContinuityCountersOfWhatItPassedOnShowMissing)
{
    // Bursts of 8 datagrams on average (40 video packets, 8 audio) lose more of a
    // PID at once than its four-bit counter can count; a receiver, here the
    // player's own analyser, sees each run modulo 16, and the relay says so.
    const int receiver = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(receiver, 0);
    sockaddr_in bound = loopback(0);
    ASSERT_EQ(bind(receiver, reinterpret_cast<sockaddr*>(&bound), sizeof bound), 0);
    socklen_t length = sizeof bound;
    getsockname(receiver, reinterpret_cast<sockaddr*>(&bound), &length);

    tools::TsDropRelay::Options options;
    options.targetPort = ntohs(bound.sin_port);
    options.maxLifetime = 30s;
    options.impairment.loss.kind = tools::impair::LossModel::Kind::GilbertElliott;
    options.impairment.loss.rate = 0.2;
    options.impairment.loss.meanBurst = 8.0;
    options.impairment.loss.seed = 77;
    tools::TsDropRelay relay(options);

    const int sender = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    const sockaddr_in relayAddress = loopback(relay.port());
    TransportStreamAnalyser analyser;
    std::vector<unsigned char> buffer(65536);
    auto drain = [&](int waitMs) {
        pollfd fd {receiver, POLLIN, 0};
        while (poll(&fd, 1, waitMs) > 0) {
            const ssize_t got = recv(receiver, buffer.data(), buffer.size(), 0);
            if (got > 0)
                analyser.feed(buffer.data(), static_cast<std::size_t>(got));
        }
    };
    TsStream stream;
    for (int i = 0; i < kDatagrams; ++i) {
        const std::vector<unsigned char> datagram = stream.datagram(i);
        sendto(sender, datagram.data(), datagram.size(), 0, reinterpret_cast<const sockaddr*>(&relayAddress),
               sizeof relayAddress);
        // The relay keeps up with a datagram every half millisecond.
        if (i % 10 == 9)
            drain(1);
    }
    drain(300);
    relay.stop();
    close(sender);
    close(receiver);

    const tools::TsDropRelay::Counts counts = relay.counts();
    std::cout << "datagrams dropped " << counts.dropped << ", payload TS packets dropped " << counts.tsPacketsDropped
              << ", shown missing by the relay " << counts.tsPacketsShownMissing << ", by the analyser "
              << analyser.missingPackets() << "\n";
    ASSERT_EQ(counts.originals, static_cast<std::uint64_t>(kDatagrams));
    ASSERT_GT(counts.dropped, 100u);
    EXPECT_EQ(analyser.packets(), 7 * (counts.originals - counts.dropped));
    EXPECT_EQ(counts.tsPacketsDropped, 6 * counts.dropped);
    EXPECT_EQ(counts.tsPacketsShownMissing, analyser.missingPackets());
    // Runs of 16 and more were lost: the counters show well under what was dropped.
    EXPECT_LT(counts.tsPacketsShownMissing, counts.tsPacketsDropped * 3 / 4);
    EXPECT_GT(counts.tsPacketsShownMissing, 0u);
}

TEST(TsDropRelay, TimesTheLongestWaitForTheNextRtpPacketInSequenceRepairsCounted)
{
    // RTP packets 0 to 99, 20 ms apart, with 50 held back and sent 300 ms late,
    // as a repair comes: a receiver taking them in sequence waited for it from
    // when 49 came, and 60 is never sent at all, which it skips.
    const int receiver = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(receiver, 0);
    sockaddr_in bound = loopback(0);
    ASSERT_EQ(bind(receiver, reinterpret_cast<sockaddr*>(&bound), sizeof bound), 0);
    socklen_t length = sizeof bound;
    getsockname(receiver, reinterpret_cast<sockaddr*>(&bound), &length);
    tools::TsDropRelay::Options options;
    options.targetPort = ntohs(bound.sin_port);
    options.framing = tools::TsDropRelay::Framing::Rtp;
    options.maxLifetime = 30s;
    tools::TsDropRelay relay(options);
    const int sender = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    const sockaddr_in relayAddress = loopback(relay.port());
    auto send = [&](int sequence) {
        std::array<unsigned char, 12 + kTsPacket> packet {};
        packet[0] = 0x80;
        packet[1] = 33; // MP2T
        packet[2] = static_cast<unsigned char>(sequence >> 8);
        packet[3] = static_cast<unsigned char>(sequence & 0xFF);
        packet[12] = 0x47;
        packet[13] = 0x1F;
        packet[14] = 0xFF;
        packet[15] = 0x10;
        sendto(sender, packet.data(), packet.size(), 0, reinterpret_cast<const sockaddr*>(&relayAddress),
               sizeof relayAddress);
    };
    const auto started = std::chrono::steady_clock::now();
    for (int sequence = 0; sequence < 100; ++sequence) {
        if (sequence != 50 && sequence != 60)
            send(sequence);
        if (sequence == 64)
            send(50);
        std::this_thread::sleep_for(20ms);
    }
    // 49 went at about 1 s, 50 at 1.3 s: the wait is 300 ms, and more by what the
    // sender's sleeps overran in between, which the sender measures.
    const auto sendingMs = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now()
                                                                                 - started)
                               .count();
    std::this_thread::sleep_for(100ms);
    relay.stop();
    close(sender);
    close(receiver);
    const tools::TsDropRelay::Counts counts = relay.counts();
    std::cout << "longest in-order wait " << counts.longestInOrderWaitUs << " us; sending took " << sendingMs
              << " ms for 2000 ms of sleeps\n";
    EXPECT_EQ(counts.forwarded, 99u);
    EXPECT_EQ(counts.neverForwarded, 1u);
    EXPECT_GE(counts.longestInOrderWaitUs, 290000);
    EXPECT_LE(counts.longestInOrderWaitUs, 300000 + (sendingMs - 2000) * 1000 + 20000);
}

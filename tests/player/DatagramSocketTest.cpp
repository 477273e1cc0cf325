#include "DatagramSocket.h"

#include <gtest/gtest.h>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <ctime>
#include <vector>

using namespace zephyrscope;

namespace {

std::int64_t realtimeNs()
{
    timespec now {};
    clock_gettime(CLOCK_REALTIME, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

// A UDP socket on 127.0.0.1 that sends to port; its own port is the system's.
struct Sender {
    int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in to {};
    explicit Sender(int port)
    {
        to.sin_family = AF_INET;
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        to.sin_port = htons(static_cast<std::uint16_t>(port));
    }
    ~Sender() { ::close(fd); }
    void send(std::size_t size, std::uint8_t fill)
    {
        const std::vector<std::uint8_t> bytes(size, fill);
        ASSERT_EQ(::sendto(fd, bytes.data(), size, 0, reinterpret_cast<sockaddr*>(&to), sizeof to),
                  static_cast<ssize_t>(size));
    }
};

// A port on 127.0.0.1 that nothing holds now.
int freePort()
{
    const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size);
    ::close(fd);
    return ntohs(address.sin_port);
}

} // namespace

TEST(DatagramSocket, ReadsWhatWaitsAsOneBatchWholeAndStampedByTheKernel)
{
    const int port = freePort();
    std::string error;
    const auto socket = DatagramSocket::open("127.0.0.1", port, "", 1 << 20, error);
    ASSERT_TRUE(socket) << error;
    Sender sender(port);
    const std::int64_t before = realtimeNs();
    // A TS datagram, a jumbo one past any MTU's buffer, a last small one.
    const std::size_t sizes[] = {1316, 9000, 188};
    for (std::size_t k = 0; k < 3; ++k)
        sender.send(sizes[k], static_cast<std::uint8_t>(k + 1));

    ASSERT_TRUE(socket->wait());
    ASSERT_EQ(socket->receive(), 3);
    // Loopback may hand a datagram to the receiving side in a softirq after
    // sendto() has returned, so the stamp is bounded by our read, not the send.
    const std::int64_t after = realtimeNs();
    for (std::size_t k = 0; k < 3; ++k) {
        const DatagramSocket::Datagram& datagram = socket->datagram(k);
        EXPECT_EQ(datagram.size, sizes[k]);
        EXPECT_EQ(datagram.data[0], k + 1);
        EXPECT_EQ(datagram.data[datagram.size - 1], k + 1);
        EXPECT_GE(datagram.realtimeNs, before);
        EXPECT_LE(datagram.realtimeNs, after);
    }
    EXPECT_EQ(socket->receive(), 0);
}

TEST(DatagramSocket, WakeEndsAWaitUntilCleared)
{
    const int port = freePort();
    std::string error;
    const auto socket = DatagramSocket::open("127.0.0.1", port, "", 0, error);
    ASSERT_TRUE(socket) << error;
    socket->wake();
    EXPECT_FALSE(socket->wait());
    socket->clearWake();
    Sender(port).send(188, 7);
    EXPECT_TRUE(socket->wait());
}

TEST(DatagramSocket, SaysWhereItCannotReceive)
{
    std::string error;
    const auto socket = DatagramSocket::open("239.255.42.1", freePort(), "no-such-interface0", 0, error);
    EXPECT_FALSE(socket);
    EXPECT_NE(error.find("Cannot receive on 239.255.42.1 port "), std::string::npos) << error;
    EXPECT_NE(error.find("no-such-interface0"), std::string::npos) << error;
}

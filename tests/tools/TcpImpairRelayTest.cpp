#include "TcpImpairRelay.h"
#include "LoopbackSockets.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>

using namespace zephyrscope::tools;
using namespace std::chrono_literals;

namespace {

using zephyrscope::tools::net::loopback;

char patternAt(std::size_t i)
{
    return static_cast<char>((i * 31 + i / 251) & 0xFF);
}

// A server on 127.0.0.1 that takes one connection, reads a line, and answers
// `bytes` bytes of a known pattern, in writes of `writeSize` every `gap`, then closes.
class PatternServer {
public:
    PatternServer(std::size_t bytes, std::size_t writeSize, std::chrono::milliseconds gap)
    {
        m_listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address = loopback(0);
        socklen_t length = sizeof address;
        if (bind(m_listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(m_listener, 1) != 0
            || getsockname(m_listener, reinterpret_cast<sockaddr*>(&address), &length) != 0)
            throw std::runtime_error("Cannot listen on 'pattern server 127.0.0.1'");
        m_port = ntohs(address.sin_port);
        m_thread = std::thread([this, bytes, writeSize, gap] {
            pollfd ready {m_listener, POLLIN, 0};
            if (poll(&ready, 1, 10000) <= 0)
                return;
            const int fd = accept4(m_listener, nullptr, nullptr, SOCK_CLOEXEC);
            char c = 0;
            while (recv(fd, &c, 1, 0) == 1 && c != '\n')
                ++m_requestBytes;
            ++m_requestBytes;
            std::string body(bytes, '\0');
            for (std::size_t i = 0; i < bytes; ++i)
                body[i] = patternAt(i);
            for (std::size_t at = 0; at < bytes; at += writeSize) {
                const ssize_t n = send(fd, body.data() + at, std::min(writeSize, bytes - at), MSG_NOSIGNAL);
                if (n <= 0)
                    break;
                m_sent += static_cast<std::size_t>(n);
                std::this_thread::sleep_for(gap);
            }
            close(fd);
        });
    }
    ~PatternServer()
    {
        m_thread.join();
        close(m_listener);
    }
    std::uint16_t port() const { return m_port; }
    std::size_t sent() const { return m_sent; }
    std::size_t requestBytes() const { return m_requestBytes; }

private:
    int m_listener = -1;
    std::uint16_t m_port = 0;
    std::size_t m_sent = 0, m_requestBytes = 0;
    std::thread m_thread;
};

struct Fetched {
    std::string body;
    int error = 0; // errno of the read that ended it, 0 at a clean end
};

Fetched fetchThrough(std::uint16_t port)
{
    Fetched fetched;
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = loopback(port);
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
        throw std::runtime_error("Cannot connect to 'tcp impair relay 127.0.0.1'");
    send(fd, "GET /\n", 6, MSG_NOSIGNAL);
    char buffer[8192];
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    while (std::chrono::steady_clock::now() < deadline) {
        pollfd ready {fd, POLLIN, 0};
        if (poll(&ready, 1, 1000) <= 0)
            continue;
        const ssize_t n = recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0) {
            fetched.error = n < 0 ? errno : 0;
            break;
        }
        fetched.body.append(buffer, static_cast<std::size_t>(n));
    }
    close(fd);
    return fetched;
}

} // namespace

TEST(TcpImpairRelay, ForwardsEveryByteInOrderThroughLossAndDelayAndCountsItExactly)
{
    constexpr std::size_t kBytes = 300000;
    PatternServer server(kBytes, 16384, 5ms);
    TcpImpairRelay::Options options;
    options.targetPort = server.port();
    options.toClient.loss.kind = impair::LossModel::Kind::EveryNth;
    options.toClient.loss.every = 20;
    options.toClient.delay.delayUs = 20000;
    options.toClient.delay.jitterUs = 5000;
    options.toServer.delay.delayUs = 20000;
    options.maxLifetime = 30s;
    std::string seen; // what the relay says it forwarded to the client, as it did
    std::mutex seenMutex;
    options.forwardedToClient = [&](int connection, const char* data, std::size_t size) {
        std::lock_guard lock(seenMutex);
        EXPECT_EQ(connection, 0);
        seen.append(data, size);
    };
    std::string asked; // and to the server
    options.forwardedToServer = [&](int connection, const char* data, std::size_t size) {
        std::lock_guard lock(seenMutex);
        EXPECT_EQ(connection, 0);
        asked.append(data, size);
    };
    TcpImpairRelay relay(options);

    const auto started = std::chrono::steady_clock::now();
    const Fetched fetched = fetchThrough(relay.port());
    const auto took = std::chrono::steady_clock::now() - started;

    ASSERT_EQ(fetched.error, 0);
    ASSERT_EQ(fetched.body.size(), kBytes);
    for (std::size_t i = 0; i < kBytes; ++i)
        ASSERT_EQ(fetched.body[i], patternAt(i)) << "byte " << i;
    // At least one retransmission's hold, and both directions' delays.
    EXPECT_GE(took, 240ms);

    std::this_thread::sleep_for(100ms); // the relay sees both ends close
    const TcpImpairRelay::Counts counts = relay.counts();
    ASSERT_EQ(counts.connections.size(), 1u);
    const TcpImpairRelay::Connection& c = counts.connections[0];
    EXPECT_EQ(c.bytesToClient, kBytes);
    EXPECT_EQ(c.bytesToServer, server.requestBytes());
    EXPECT_EQ(c.bytesDiscarded, 0u);
    EXPECT_FALSE(c.reset);
    EXPECT_FALSE(c.open);
    EXPECT_EQ(counts.bytesToClient, kBytes);
    EXPECT_EQ(counts.bytesToServer, 6u);
    EXPECT_EQ(counts.toClient.bytes, kBytes);
    EXPECT_EQ(counts.toClient.chunks, counts.chunksToClient);
    // No read is more than 64 KiB: at least kBytes / 1448 chunks, at most one more per read.
    EXPECT_GE(counts.chunksToClient, (kBytes + 1447) / 1448);
    EXPECT_EQ(counts.toClient.retransmitted, counts.toClient.chunks / 20);
    EXPECT_EQ(counts.toClient.delayed, counts.toClient.chunks);
    EXPECT_EQ(counts.toServer.chunks, counts.chunksToServer);
    EXPECT_EQ(counts.toServer.delayed, counts.toServer.chunks);
    EXPECT_EQ(counts.toClient.heldUs,
              counts.toClient.delayedUs + counts.toClient.heldForOrderUs
                  + static_cast<std::int64_t>(counts.toClient.retransmitted) * 200000);
    EXPECT_EQ(counts.resets, 0u);
    std::lock_guard lock(seenMutex);
    EXPECT_EQ(seen, fetched.body);
    EXPECT_EQ(asked, "GET /\n");
}

TEST(TcpImpairRelay, AResettingOutageResetsTheOpenConnectionAndCountsWhatItDiscarded)
{
    // 100 writes of 1000 bytes, 10 ms apart; the outage begins 300 ms after the first.
    constexpr std::size_t kBytes = 100000;
    PatternServer server(kBytes, 1000, 10ms);
    TcpImpairRelay::Options options;
    options.targetPort = server.port();
    options.toClient.outage.startUs = 300000;
    options.toClient.outage.durationUs = 2000000;
    options.resetOnOutage = true;
    options.maxLifetime = 30s;
    TcpImpairRelay relay(options);

    const Fetched fetched = fetchThrough(relay.port());

    EXPECT_EQ(fetched.error, ECONNRESET);
    EXPECT_GT(fetched.body.size(), 0u);
    EXPECT_LT(fetched.body.size(), kBytes);
    for (std::size_t i = 0; i < fetched.body.size(); ++i)
        ASSERT_EQ(fetched.body[i], patternAt(i)) << "byte " << i;
    const TcpImpairRelay::Counts counts = relay.counts();
    EXPECT_EQ(counts.resets, 1u);
    ASSERT_EQ(counts.connections.size(), 1u);
    EXPECT_TRUE(counts.connections[0].reset);
    EXPECT_EQ(counts.connections[0].bytesToClient, fetched.body.size());
    // What it read and neither forwarded nor discarded, nothing: every byte read is one or the other.
    EXPECT_EQ(counts.connections[0].bytesToClient + counts.connections[0].bytesDiscarded, counts.toClient.bytes);
}

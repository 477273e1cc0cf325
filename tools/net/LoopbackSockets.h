#pragma once

// What the relays on 127.0.0.1 (and their tests) share of their sockets:
// addresses, UDP sockets with room for seconds of a stream, the port one was
// bound to, and an even port pair as RTP senders expect. POSIX only.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <stdexcept>
#include <string>
#include <utility>

namespace zephyrscope::tools::net {

inline sockaddr_in loopback(std::uint16_t port)
{
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

inline sockaddr_in addressOf(const std::string& host, std::uint16_t port)
{
    sockaddr_in address = loopback(port);
    if (inet_pton(AF_INET, host.c_str(), &address.sin_addr) != 1)
        throw std::runtime_error("Cannot use address '" + host + "': not an IPv4 address");
    return address;
}

// A UDP socket bound to port on 127.0.0.1 (0: a free one); -1 when the port is
// taken. who names the socket in the error when none can be opened.
inline int udpSocket(std::uint16_t port, const std::string& who)
{
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        throw std::runtime_error("Cannot open socket '" + who + "': socket failed");
    // Seconds of buffer either way, so that a busy machine's late relay thread
    // loses nothing the relay would not count (past the system's limit as root).
    constexpr int kBufferBytes = 4 * 1024 * 1024;
    for (const auto& [option, forced] : {std::pair {SO_RCVBUF, SO_RCVBUFFORCE}, std::pair {SO_SNDBUF, SO_SNDBUFFORCE}})
        if (setsockopt(fd, SOL_SOCKET, forced, &kBufferBytes, sizeof kBufferBytes) != 0)
            setsockopt(fd, SOL_SOCKET, option, &kBufferBytes, sizeof kBufferBytes);
    sockaddr_in address = loopback(port);
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

inline std::uint16_t boundPort(int fd)
{
    sockaddr_in bound {};
    socklen_t length = sizeof bound;
    getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &length);
    return ntohs(bound.sin_port);
}

// A UDP port on 127.0.0.1 nothing holds now, for a child process to bind.
inline std::uint16_t freeUdpPort(const std::string& who)
{
    const int probe = udpSocket(0, who);
    if (probe < 0)
        throw std::runtime_error("Cannot find a free UDP port on 127.0.0.1 for '" + who + "'");
    const std::uint16_t port = boundPort(probe);
    close(probe);
    return port;
}

// Sockets on an even port and, with withNext, the one after it too, as RTP
// and its RTCP take them; {-1, -1} and port 0 when no such pair came free.
struct PortPair {
    int even = -1;
    int next = -1;
    std::uint16_t port = 0;
};

inline PortPair evenPortPair(bool withNext, const std::string& who)
{
    constexpr int kAttempts = 50;
    for (int attempt = 0; attempt < kAttempts; ++attempt) {
        const int probe = udpSocket(0, who);
        const std::uint16_t port = static_cast<std::uint16_t>(boundPort(probe) & ~1u);
        close(probe);
        PortPair pair {udpSocket(port, who), -1, port};
        if (pair.even < 0)
            continue;
        if (!withNext)
            return pair;
        pair.next = udpSocket(static_cast<std::uint16_t>(port + 1), who);
        if (pair.next >= 0)
            return pair;
        close(pair.even);
    }
    return {};
}

} // namespace zephyrscope::tools::net

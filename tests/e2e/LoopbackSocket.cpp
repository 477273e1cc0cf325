#include "LoopbackSocket.h"

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <sstream>

namespace zephyrscope::testing {

namespace {
constexpr int kIoTimeoutS = 5;
}

LoopbackSocket::LoopbackSocket()
    : m_fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0))
{
    const timeval timeout{kIoTimeoutS, 0};
    ::setsockopt(m_fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    ::setsockopt(m_fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
}

LoopbackSocket::~LoopbackSocket()
{
    ::close(m_fd);
}

sockaddr_in LoopbackSocket::address(int port)
{
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
}

int LoopbackSocket::listen(int port)
{
    sockaddr_in a = address(port);
    socklen_t length = sizeof a;
    if (::bind(m_fd, reinterpret_cast<sockaddr*>(&a), length) != 0 || ::listen(m_fd, 4) != 0
        || ::getsockname(m_fd, reinterpret_cast<sockaddr*>(&a), &length) != 0)
        return 0;
    return ntohs(a.sin_port);
}

bool LoopbackSocket::connect(int port)
{
    const sockaddr_in a = address(port);
    return ::connect(m_fd, reinterpret_cast<const sockaddr*>(&a), sizeof a) == 0;
}

std::optional<double> HttpResponse::seriesValue(const std::string& name) const
{
    std::istringstream lines(body);
    for (std::string line; std::getline(lines, line);) {
        const bool named = line.rfind(name, 0) == 0 && line.size() > name.size();
        if (named && (line[name.size()] == '{' || line[name.size()] == ' '))
            return std::strtod(line.c_str() + line.rfind(' ') + 1, nullptr);
    }
    return std::nullopt;
}

int freeLoopbackPort()
{
    LoopbackSocket probe;
    return probe.listen();
}

HttpResponse httpRequest(int port, const std::string& method, const std::string& target)
{
    HttpResponse response;
    LoopbackSocket socket;
    if (!socket.connect(port))
        return response;
    const std::string request =
        method + " " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n";
    if (::send(socket.fd(), request.data(), request.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(request.size()))
        return response;
    std::string text;
    char buffer[4096];
    for (ssize_t n; (n = ::recv(socket.fd(), buffer, sizeof buffer, 0)) > 0;)
        text.append(buffer, static_cast<std::size_t>(n));
    const std::size_t headEnd = text.find("\r\n\r\n");
    if (text.rfind("HTTP/1.1 ", 0) != 0 || headEnd == std::string::npos)
        return response;
    response.status = std::atoi(text.c_str() + 9);
    response.head = text.substr(0, headEnd);
    response.body = text.substr(headEnd + 4);
    return response;
}

} // namespace zephyrscope::testing

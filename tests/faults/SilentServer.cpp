#include "SilentServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <stdexcept>
#include <sys/socket.h>
#include <unistd.h>

namespace zephyrscope::testing {

SilentServer::SilentServer()
{
    m_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    if (m_fd < 0 || ::bind(m_fd, reinterpret_cast<sockaddr*>(&address), size) != 0 || ::listen(m_fd, 16) != 0
        || ::getsockname(m_fd, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
        if (m_fd >= 0)
            ::close(m_fd);
        throw std::runtime_error("Cannot listen on '127.0.0.1': no free port");
    }
    m_port = ntohs(address.sin_port);
}

SilentServer::~SilentServer()
{
    ::close(m_fd);
}

} // namespace zephyrscope::testing

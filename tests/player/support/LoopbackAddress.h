#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstdint>

namespace zephyrscope::testing {

// 127.0.0.1:port, for the relays' sockets.
inline sockaddr_in LoopbackAddress(std::uint16_t port)
{
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

} // namespace zephyrscope::testing

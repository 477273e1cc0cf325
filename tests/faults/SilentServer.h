#pragma once

#include <cstdint>

namespace zephyrscope::testing {

// A TCP port on 127.0.0.1 that takes connections and never answers: the kernel
// completes each handshake into the listen backlog and nothing ever reads or
// writes. Closed with the object.
class SilentServer {
public:
    SilentServer();
    ~SilentServer();
    SilentServer(const SilentServer&) = delete;
    SilentServer& operator=(const SilentServer&) = delete;

    std::uint16_t port() const { return m_port; }

private:
    int m_fd = -1;
    std::uint16_t m_port = 0;
};

} // namespace zephyrscope::testing

#pragma once

// A TCP socket on 127.0.0.1 and a plain HTTP/1.1 client on it, for the tests that
// read the program's metrics endpoint. Every read and write is bounded (5 s).

#include <netinet/in.h>

#include <optional>
#include <string>

namespace zephyrscope::testing {

// A socket on 127.0.0.1; closed with its owner.
class LoopbackSocket {
public:
    LoopbackSocket();
    ~LoopbackSocket();
    LoopbackSocket(const LoopbackSocket&) = delete;
    LoopbackSocket& operator=(const LoopbackSocket&) = delete;

    // Binds (port 0: any free one) and listens; returns the port, 0 on failure.
    int listen(int port = 0);
    bool connect(int port);
    int fd() const { return m_fd; }

private:
    static sockaddr_in address(int port);
    int m_fd;
};

// A port that was free a moment ago, for a server that takes its port as a value.
int freeLoopbackPort();

struct HttpResponse {
    int status = 0; // 0: no answer
    std::string head, body;

    // The value of the first series of the family name in the body, an
    // exposition text; nullopt when there is none.
    std::optional<double> seriesValue(const std::string& name) const;
};

// One HTTP/1.1 request with "Connection: close" to 127.0.0.1:port, read to the end.
HttpResponse httpRequest(int port, const std::string& method, const std::string& target);

} // namespace zephyrscope::testing

#include "DelayingTcpRelay.h"

#include "LoopbackSockets.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <deque>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace zephyrscope::testing {

namespace {

constexpr int kMaxWaitMs = 50; // how often the relay looks at its lifetime
constexpr std::size_t kReadSize = 65536;

using Clock = std::chrono::steady_clock;

struct Chunk {
    Clock::time_point read;
    Clock::time_point due;
    std::string bytes;
};

// Without this, Nagle's algorithm meets the peer's delayed ACK and holds small writes
// up to 40 ms more: the path would be longer than the delay it stands for.
void SendAtOnce(int socket)
{
    const int on = 1;
    setsockopt(socket, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

// One direction of one connection: what was read from `from`, waiting to be written to `to`.
struct Direction {
    int from = -1, to = -1;
    std::deque<Chunk> pending;
    bool readEnded = false;
};

struct Connection {
    Direction toTarget, toClient;
    bool closed = false;
    ~Connection()
    {
        ::close(toTarget.from);
        ::close(toClient.from);
    }
};

} // namespace

DelayingTcpRelay::DelayingTcpRelay(std::uint16_t targetPort, std::chrono::milliseconds delay,
                                   std::chrono::milliseconds maxLifetime)
    : m_targetPort(targetPort)
    , m_delay(delay)
    , m_end(Clock::now() + maxLifetime)
{
    m_listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = zephyrscope::tools::net::loopback(0);
    socklen_t length = sizeof address;
    if (m_listener < 0 || bind(m_listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0
        || listen(m_listener, 4) != 0 || getsockname(m_listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        if (m_listener >= 0)
            close(m_listener);
        throw std::runtime_error("Cannot listen on 'tcp relay 127.0.0.1': bind failed");
    }
    m_port = ntohs(address.sin_port);
    m_wake = eventfd(0, EFD_CLOEXEC);
    m_thread = std::thread([this] { run(); });
}

DelayingTcpRelay::~DelayingTcpRelay()
{
    m_stopping = true;
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t n = write(m_wake, &one, sizeof one);
    if (m_thread.joinable())
        m_thread.join();
    close(m_listener);
    close(m_wake);
}

double DelayingTcpRelay::meanHoldMs() const
{
    const long chunks = m_chunksForwarded;
    return chunks > 0 ? m_heldMsTotal / static_cast<double>(chunks) : 0.0;
}

void DelayingTcpRelay::run()
{
    std::vector<std::unique_ptr<Connection>> connections;
    while (!m_stopping && Clock::now() < m_end) {
        const Clock::time_point now = Clock::now();
        // Write out what is due, and work out how long poll may sleep.
        int waitMs = kMaxWaitMs;
        for (auto& c : connections) {
            for (Direction* d : {&c->toTarget, &c->toClient}) {
                while (!d->pending.empty() && d->pending.front().due <= now) {
                    const std::string& bytes = d->pending.front().bytes;
                    // Blocking writes: loopback peers read promptly, and order must hold.
                    std::size_t done = 0;
                    while (done < bytes.size()) {
                        const ssize_t n = send(d->to, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
                        if (n <= 0)
                            break;
                        done += static_cast<std::size_t>(n);
                    }
                    if (done < bytes.size())
                        c->closed = true;
                    const std::chrono::duration<double, std::milli> held = Clock::now() - d->pending.front().read;
                    m_heldMsTotal = m_heldMsTotal + held.count();
                    ++m_chunksForwarded;
                    d->pending.pop_front();
                }
                if (!d->pending.empty()) {
                    const auto left =
                        std::chrono::duration_cast<std::chrono::milliseconds>(d->pending.front().due - now).count();
                    waitMs = std::min<int>(waitMs, static_cast<int>(std::max<long long>(left, 0)) + 1);
                }
                if (d->readEnded && d->pending.empty())
                    shutdown(d->to, SHUT_WR);
            }
        }
        std::erase_if(connections, [](const auto& c) {
            return c->closed
                || (c->toTarget.readEnded && c->toClient.readEnded && c->toTarget.pending.empty()
                    && c->toClient.pending.empty());
        });

        std::vector<pollfd> fds {{m_wake, POLLIN, 0}, {m_listener, POLLIN, 0}};
        std::vector<Direction*> readers;
        for (auto& c : connections) {
            for (Direction* d : {&c->toTarget, &c->toClient}) {
                if (!d->readEnded) {
                    fds.push_back({d->from, POLLIN, 0});
                    readers.push_back(d);
                }
            }
        }
        if (poll(fds.data(), fds.size(), waitMs) < 0)
            continue;
        if (fds[1].revents & POLLIN) {
            const int client = accept4(m_listener, nullptr, nullptr, SOCK_CLOEXEC);
            const int target = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            sockaddr_in address = zephyrscope::tools::net::loopback(m_targetPort);
            if (client >= 0 && target >= 0
                && connect(target, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
                SendAtOnce(client);
                SendAtOnce(target);
                auto c = std::make_unique<Connection>();
                c->toTarget.from = client;
                c->toTarget.to = target;
                c->toClient.from = target;
                c->toClient.to = client;
                connections.push_back(std::move(c));
            } else {
                if (client >= 0)
                    close(client);
                if (target >= 0)
                    close(target);
            }
        }
        const Clock::time_point readAt = Clock::now();
        for (std::size_t i = 0; i < readers.size(); ++i) {
            if (!(fds[i + 2].revents & (POLLIN | POLLHUP | POLLERR)))
                continue;
            Direction& d = *readers[i];
            std::string bytes(kReadSize, '\0');
            const ssize_t n = recv(d.from, bytes.data(), bytes.size(), 0);
            if (n <= 0) {
                d.readEnded = true;
                continue;
            }
            bytes.resize(static_cast<std::size_t>(n));
            d.pending.push_back({readAt, readAt + m_delay, std::move(bytes)});
        }
    }
}

} // namespace zephyrscope::testing

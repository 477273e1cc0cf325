#include "TcpImpairRelay.h"

#include "LoopbackSockets.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <deque>
#include <memory>
#include <stdexcept>
#include <string>

namespace zephyrscope::tools {

namespace {

constexpr int kIdleWaitMs = 50; // how often the relay looks at its lifetime and stop flag
constexpr std::size_t kReadSize = 65536;
// A direction holding this much stops reading its sender, as a full TCP window would.
constexpr std::size_t kMaxPendingBytes = 32 * 1024 * 1024;

std::int64_t nowUs()
{
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

using net::loopback;

// Without this, Nagle's algorithm meets the peer's delayed ACK and holds small
// writes up to 40 ms more than the impairment says.
void sendAtOnce(int socket)
{
    const int on = 1;
    setsockopt(socket, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

// Closing with a zero linger sends RST: the peer sees "connection reset".
void resetAndClose(int socket)
{
    const linger abort {1, 0};
    setsockopt(socket, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
    close(socket);
}

struct Chunk {
    std::int64_t dueUs = 0;
    std::string bytes;
    std::size_t sent = 0;
};

// One direction of one connection: what was read from `from`, waiting to be written to `to`.
struct Direction {
    int from = -1, to = -1;
    std::deque<Chunk> pending;
    std::size_t pendingBytes = 0;
    bool readEnded = false;
    bool shutDown = false;
    bool blocked = false; // the last write found `to` full
};

} // namespace

struct TcpImpairRelay::Link {
    int id = 0;
    int client = -1, server = -1;
    Direction toServer, toClient;
    bool closed = false;
    bool reset = false;
    ~Link()
    {
        if (reset) {
            resetAndClose(client);
            resetAndClose(server);
        } else {
            close(client);
            close(server);
        }
    }
};

TcpImpairRelay::TcpImpairRelay(const Options& options)
    : m_options(options)
    , m_end(std::chrono::steady_clock::now() + options.maxLifetime)
{
    m_listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = loopback(0);
    socklen_t length = sizeof address;
    if (m_listener < 0 || bind(m_listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0
        || listen(m_listener, 16) != 0
        || getsockname(m_listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        const std::string reason = std::strerror(errno);
        if (m_listener >= 0)
            close(m_listener);
        throw std::runtime_error("Cannot listen on 'tcp impair relay 127.0.0.1': " + reason);
    }
    m_port = ntohs(address.sin_port);
    m_wake = eventfd(0, EFD_CLOEXEC);
    m_thread = std::thread([this] { run(); });
}

TcpImpairRelay::~TcpImpairRelay()
{
    m_stopping = true;
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t n = write(m_wake, &one, sizeof one);
    if (m_thread.joinable())
        m_thread.join();
    close(m_listener);
    close(m_wake);
}

TcpImpairRelay::Counts TcpImpairRelay::counts() const
{
    std::lock_guard lock(m_mutex);
    return m_counts;
}

void TcpImpairRelay::run()
{
    ChunkImpairment toClient(m_options.toClient);
    ChunkImpairment toServer(m_options.toServer);
    std::vector<std::unique_ptr<Link>> links;
    bool outageResetDone = false;
    std::vector<char> buffer(kReadSize);

    const auto forwarded = [this](const Link& link, bool clientward, std::size_t bytes) {
        std::lock_guard lock(m_mutex);
        Connection& c = m_counts.connections[static_cast<std::size_t>(link.id)];
        (clientward ? c.bytesToClient : c.bytesToServer) += bytes;
        ++(clientward ? c.chunksToClient : c.chunksToServer);
        (clientward ? m_counts.bytesToClient : m_counts.bytesToServer) += bytes;
        ++(clientward ? m_counts.chunksToClient : m_counts.chunksToServer);
    };
    const auto drop = [this, &toClient, &toServer](const Link& link) {
        toClient.forget(link.id);
        toServer.forget(link.id);
        std::lock_guard lock(m_mutex);
        Connection& c = m_counts.connections[static_cast<std::size_t>(link.id)];
        for (const Direction* d : {&link.toServer, &link.toClient}) {
            std::uint64_t unsent = 0;
            for (const Chunk& chunk : d->pending)
                unsent += chunk.bytes.size() - chunk.sent;
            c.bytesDiscarded += unsent;
            m_counts.bytesDiscarded += unsent;
        }
        c.reset = link.reset;
        c.open = false;
    };

    while (!m_stopping && std::chrono::steady_clock::now() < m_end) {
        std::int64_t now = nowUs();
        if (m_options.resetOnOutage && !outageResetDone) {
            const auto window = toClient.outageWindow();
            if (window && now >= window->first) {
                outageResetDone = true;
                for (auto& link : links) {
                    link->reset = link->closed = true;
                    std::lock_guard lock(m_mutex);
                    ++m_counts.resets;
                }
            }
        }

        // Write out what is due, and work out how long poll may sleep.
        int waitMs = kIdleWaitMs;
        for (auto& link : links) {
            for (Direction* d : {&link->toServer, &link->toClient}) {
                d->blocked = false;
                while (!link->closed && !d->pending.empty() && d->pending.front().dueUs <= now) {
                    Chunk& chunk = d->pending.front();
                    const ssize_t n = send(d->to, chunk.bytes.data() + chunk.sent, chunk.bytes.size() - chunk.sent,
                                           MSG_NOSIGNAL | MSG_DONTWAIT);
                    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
                        d->blocked = true;
                        break;
                    }
                    if (n <= 0) {
                        link->closed = true;
                        break;
                    }
                    chunk.sent += static_cast<std::size_t>(n);
                    if (chunk.sent == chunk.bytes.size()) {
                        forwarded(*link, d == &link->toClient, chunk.bytes.size());
                        if (d == &link->toClient && m_options.forwardedToClient)
                            m_options.forwardedToClient(link->id, chunk.bytes.data(), chunk.bytes.size());
                        else if (d == &link->toServer && m_options.forwardedToServer)
                            m_options.forwardedToServer(link->id, chunk.bytes.data(), chunk.bytes.size());
                        d->pendingBytes -= chunk.bytes.size();
                        d->pending.pop_front();
                    }
                }
                if (!d->pending.empty() && !d->blocked) {
                    const std::int64_t leftUs = std::max<std::int64_t>(0, d->pending.front().dueUs - now);
                    waitMs = std::min<int>(waitMs, static_cast<int>((leftUs + 999) / 1000));
                }
                if (d->readEnded && d->pending.empty() && !d->shutDown) {
                    shutdown(d->to, SHUT_WR);
                    d->shutDown = true;
                }
            }
        }
        std::erase_if(links, [&drop](const std::unique_ptr<Link>& link) {
            const bool done = link->closed || (link->toServer.shutDown && link->toClient.shutDown);
            if (done)
                drop(*link);
            return done;
        });

        std::vector<pollfd> fds {{m_wake, POLLIN, 0}, {m_listener, POLLIN, 0}};
        struct Watch {
            Link* link;
            Direction* direction;
        };
        std::vector<Watch> readers, writers;
        for (auto& link : links) {
            for (Direction* d : {&link->toServer, &link->toClient}) {
                if (!d->readEnded && d->pendingBytes < kMaxPendingBytes) {
                    fds.push_back({d->from, POLLIN, 0});
                    readers.push_back({link.get(), d});
                }
            }
        }
        for (auto& link : links) {
            for (Direction* d : {&link->toServer, &link->toClient}) {
                if (d->blocked) {
                    fds.push_back({d->to, POLLOUT, 0});
                    writers.push_back({link.get(), d});
                }
            }
        }
        if (poll(fds.data(), fds.size(), waitMs) < 0)
            continue;
        if (fds[1].revents & POLLIN) {
            const int client = accept4(m_listener, nullptr, nullptr, SOCK_CLOEXEC);
            const int server = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            sockaddr_in address = loopback(m_options.targetPort);
            if (client >= 0 && server >= 0
                && connect(server, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
                sendAtOnce(client);
                sendAtOnce(server);
                auto link = std::make_unique<Link>();
                link->client = client;
                link->server = server;
                link->toServer.from = client;
                link->toServer.to = server;
                link->toClient.from = server;
                link->toClient.to = client;
                {
                    std::lock_guard lock(m_mutex);
                    link->id = static_cast<int>(m_counts.connections.size());
                    m_counts.connections.emplace_back();
                }
                links.push_back(std::move(link));
            } else {
                if (client >= 0)
                    resetAndClose(client);
                if (server >= 0)
                    close(server);
                std::lock_guard lock(m_mutex);
                ++m_counts.refused;
            }
        }
        now = nowUs();
        for (std::size_t i = 0; i < readers.size(); ++i) {
            if (!(fds[i + 2].revents & (POLLIN | POLLHUP | POLLERR)))
                continue;
            Link& link = *readers[i].link;
            Direction& d = *readers[i].direction;
            const ssize_t n = recv(d.from, buffer.data(), buffer.size(), MSG_DONTWAIT);
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
                continue;
            if (n < 0) { // reset by its peer: the other side is reset as well
                link.reset = link.closed = true;
                continue;
            }
            if (n == 0) {
                d.readEnded = true;
                continue;
            }
            ChunkImpairment& impairment = &d == &link.toClient ? toClient : toServer;
            for (std::size_t at = 0; at < static_cast<std::size_t>(n); at += ChunkImpairment::kSegmentBytes) {
                const std::size_t size = std::min(ChunkImpairment::kSegmentBytes, static_cast<std::size_t>(n) - at);
                const std::int64_t due = impairment.departureUs(now, size, link.id);
                d.pending.push_back({due, std::string(buffer.data() + at, size), 0});
                d.pendingBytes += size;
            }
        }
        std::lock_guard lock(m_mutex);
        m_counts.toClient = toClient.counts();
        m_counts.toServer = toServer.counts();
    }
    for (auto& link : links)
        drop(*link);
}

} // namespace zephyrscope::tools

#include "DatagramSocket.h"

#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>

namespace zephyrscope {

namespace {

struct AddressList {
    addrinfo* first = nullptr;
    ~AddressList()
    {
        if (first)
            ::freeaddrinfo(first);
    }
};

bool isMulticast(const sockaddr* address)
{
    if (address->sa_family == AF_INET)
        return IN_MULTICAST(ntohl(reinterpret_cast<const sockaddr_in*>(address)->sin_addr.s_addr));
    if (address->sa_family == AF_INET6)
        return IN6_IS_ADDR_MULTICAST(&reinterpret_cast<const sockaddr_in6*>(address)->sin6_addr);
    return false;
}

// Joins the group address names on interfaceIndex (0: the system's choice),
// and takes no other group's datagrams that reach the port.
bool joinGroup(int fd, const sockaddr* address, unsigned interfaceIndex)
{
    if (address->sa_family == AF_INET) {
        ip_mreqn request {};
        request.imr_multiaddr = reinterpret_cast<const sockaddr_in*>(address)->sin_addr;
        request.imr_ifindex = static_cast<int>(interfaceIndex);
        const int off = 0;
        ::setsockopt(fd, IPPROTO_IP, IP_MULTICAST_ALL, &off, sizeof off);
        return ::setsockopt(fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &request, sizeof request) == 0;
    }
    ipv6_mreq request {};
    request.ipv6mr_multiaddr = reinterpret_cast<const sockaddr_in6*>(address)->sin6_addr;
    request.ipv6mr_interface = interfaceIndex;
    return ::setsockopt(fd, IPPROTO_IPV6, IPV6_JOIN_GROUP, &request, sizeof request) == 0;
}

// Seconds of a stream in the socket, past the system's limit where we may.
void askForReceiveBuffer(int fd, int bytes)
{
    if (bytes <= 0)
        return;
    if (::setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &bytes, sizeof bytes) != 0)
        ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes);
}

// A socket bound to address, or -1 with error set.
int boundSocket(const addrinfo& address, const DatagramSocket::Binding& binding, std::string& error)
{
    const std::string& interface = binding.interface;
    const int fd = ::socket(address.ai_family, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
    if (fd < 0) {
        error = std::strerror(errno);
        return -1;
    }
    const int on = 1;
    if (binding.reuseAddress)
        ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    ::setsockopt(fd, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on);
    askForReceiveBuffer(fd, binding.receiveBufferBytes);
    // The interface matters to a group alone, as to udpsrc.
    const bool group = isMulticast(address.ai_addr);
    const unsigned interfaceIndex = group && !interface.empty() ? ::if_nametoindex(interface.c_str()) : 0;
    if (group && !interface.empty() && interfaceIndex == 0)
        error = "no interface '" + interface + "'";
    else if (::bind(fd, address.ai_addr, address.ai_addrlen) != 0)
        error = std::strerror(errno);
    else if (group && !joinGroup(fd, address.ai_addr, interfaceIndex))
        error = "cannot join the group: " + std::string(std::strerror(errno));
    if (error.empty())
        return fd;
    ::close(fd);
    return -1;
}

} // namespace

std::unique_ptr<DatagramSocket> DatagramSocket::open(const Binding& binding, std::string& error)
{
    const std::string& host = binding.host;
    const int port = binding.port;
    const std::string where = (host.empty() ? std::string("any address") : host) + " port " + std::to_string(port);
    addrinfo hints {};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_DGRAM;
    hints.ai_flags = AI_PASSIVE;
    AddressList addresses;
    const std::string service = std::to_string(port);
    if (const int failed = ::getaddrinfo(host.empty() ? nullptr : host.c_str(), service.c_str(), &hints,
                                         &addresses.first)) {
        error = "Cannot resolve " + where + ": " + ::gai_strerror(failed);
        return nullptr;
    }
    std::string reason;
    const int fd = boundSocket(*addresses.first, binding, reason);
    if (fd < 0) {
        error = "Cannot receive on " + where + ": " + reason;
        return nullptr;
    }
    const int wakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wakeFd < 0) {
        error = "Cannot receive on " + where + ": " + std::strerror(errno);
        ::close(fd);
        return nullptr;
    }
    return std::unique_ptr<DatagramSocket>(new DatagramSocket(fd, wakeFd));
}

DatagramSocket::DatagramSocket(int fd, int wakeFd)
    : m_fd(fd)
    , m_wakeFd(wakeFd)
    , m_slots(std::make_unique_for_overwrite<std::uint8_t[]>(kBatch * kSlotBytes))
{
}

DatagramSocket::~DatagramSocket()
{
    ::close(m_fd);
    ::close(m_wakeFd);
}

DatagramSocket::Wait DatagramSocket::wait(int timeoutMs)
{
    pollfd fds[2] = {{m_fd, POLLIN | POLLPRI, 0}, {m_wakeFd, POLLIN, 0}};
    int ready = 0;
    while ((ready = ::poll(fds, 2, timeoutMs)) < 0 && errno == EINTR) {
    }
    if (fds[1].revents & POLLIN)
        return Wait::Woken;
    return ready == 0 ? Wait::TimedOut : Wait::Ready;
}

int DatagramSocket::boundPort() const
{
    sockaddr_storage address {};
    socklen_t length = sizeof address;
    if (::getsockname(m_fd, reinterpret_cast<sockaddr*>(&address), &length) != 0)
        return 0;
    return ntohs(address.ss_family == AF_INET6 ? reinterpret_cast<const sockaddr_in6*>(&address)->sin6_port
                                               : reinterpret_cast<const sockaddr_in*>(&address)->sin_port);
}

void DatagramSocket::wake()
{
    const std::uint64_t one = 1;
    [[maybe_unused]] const auto written = ::write(m_wakeFd, &one, sizeof one);
}

void DatagramSocket::clearWake()
{
    std::uint64_t count = 0;
    [[maybe_unused]] const auto read = ::read(m_wakeFd, &count, sizeof count);
}

int DatagramSocket::receive()
{
    constexpr std::size_t kControlBytes = CMSG_SPACE(sizeof(timespec));
    mmsghdr messages[kBatch] {};
    iovec vectors[kBatch];
    alignas(cmsghdr) std::uint8_t control[kBatch][kControlBytes];
    for (std::size_t k = 0; k < kBatch; ++k) {
        vectors[k] = {m_slots.get() + k * kSlotBytes, kSlotBytes};
        messages[k].msg_hdr.msg_iov = &vectors[k];
        messages[k].msg_hdr.msg_iovlen = 1;
        messages[k].msg_hdr.msg_control = control[k];
        messages[k].msg_hdr.msg_controllen = kControlBytes;
    }
    const int count = ::recvmmsg(m_fd, messages, kBatch, MSG_DONTWAIT, nullptr);
    if (count < 0)
        return errno == EAGAIN || errno == EWOULDBLOCK || errno == ECONNREFUSED ? 0 : -1;
    for (int k = 0; k < count; ++k) {
        Datagram& datagram = m_datagrams[k];
        datagram = {m_slots.get() + k * kSlotBytes, messages[k].msg_len, -1};
        for (cmsghdr* c = CMSG_FIRSTHDR(&messages[k].msg_hdr); c; c = CMSG_NXTHDR(&messages[k].msg_hdr, c)) {
            if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_TIMESTAMPNS) {
                timespec stamp;
                std::memcpy(&stamp, CMSG_DATA(c), sizeof stamp);
                datagram.realtimeNs = static_cast<std::int64_t>(stamp.tv_sec) * 1000000000 + stamp.tv_nsec;
            }
        }
    }
    return count;
}

} // namespace zephyrscope

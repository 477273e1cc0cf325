#pragma once

// A UDP socket that hands over what waits in it a batch at a time, each
// datagram with the kernel's receive time (SO_TIMESTAMPNS, CLOCK_REALTIME):
// one poll and one recvmmsg per batch where udpsrc makes a poll, a recvmsg and
// a control-message object per datagram. Bound to the URL's address and port;
// a multicast group is joined on the named interface, else the system's
// choice, and receives that group's datagrams alone.
// Private to player/. Thread: open and close on the element's state changes;
// wait and receive on its streaming thread; wake and clearWake on any thread.
// Owns its two descriptors.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace zephyrscope {

class DatagramSocket {
public:
    // The most datagrams one receive reads.
    static constexpr std::size_t kBatch = 32;
    // Room for any UDP datagram: one is never cut short.
    static constexpr std::size_t kSlotBytes = 65536;

    struct Datagram {
        const std::uint8_t* data = nullptr;
        std::size_t size = 0;
        std::int64_t realtimeNs = -1; // -1: the kernel gave no time
    };

    struct Binding {
        std::string host;      // the address to bind, or a multicast group to join; "": any
        int port = 0;          // 0: one the system picks (boundPort)
        std::string interface; // to join a group on; "": the system's choice
        int receiveBufferBytes = 0;
        bool reuseAddress = true; // false: fail where another socket has the port
    };

    // nullptr and error ("Cannot receive on 239.1.1.1 port 5000: Address in
    // use") on failure.
    static std::unique_ptr<DatagramSocket> open(const Binding& binding, std::string& error);
    ~DatagramSocket();
    DatagramSocket(const DatagramSocket&) = delete;
    DatagramSocket& operator=(const DatagramSocket&) = delete;

    enum class Wait { Ready, Woken, TimedOut };
    // Blocks until a datagram waits, wake() was called, or timeoutMs passed (-1: never).
    Wait wait(int timeoutMs = -1);
    void wake();
    void clearWake();

    // Reads up to kBatch waiting datagrams without blocking; they stay valid
    // until the next receive. The count (0: none waited), or -1 with errno.
    int receive();
    const Datagram& datagram(std::size_t index) const { return m_datagrams[index]; }

    int boundPort() const;
    // The socket itself, for a sender to share (it stays this object's).
    int descriptor() const { return m_fd; }

private:
    DatagramSocket(int fd, int wakeFd);

    int m_fd = -1, m_wakeFd = -1;
    std::unique_ptr<std::uint8_t[]> m_slots;
    Datagram m_datagrams[kBatch];
};

} // namespace zephyrscope

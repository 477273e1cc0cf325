#include "DatagramSocket.h"
#include "UdpBatchSource.h"

#include <gio/gio.h>
#include <gst/gst.h>
#include <gtest/gtest.h>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <ctime>
#include <vector>

using namespace zephyrscope;

namespace {

std::int64_t realtimeNs()
{
    timespec now {};
    clock_gettime(CLOCK_REALTIME, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

// A UDP socket on 127.0.0.1 that sends to port; its own port is the system's.
struct Sender {
    int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in to {};
    explicit Sender(int port)
    {
        to.sin_family = AF_INET;
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        to.sin_port = htons(static_cast<std::uint16_t>(port));
    }
    ~Sender() { ::close(fd); }
    void send(std::size_t size, std::uint8_t fill)
    {
        const std::vector<std::uint8_t> bytes(size, fill);
        ASSERT_EQ(::sendto(fd, bytes.data(), size, 0, reinterpret_cast<sockaddr*>(&to), sizeof to),
                  static_cast<ssize_t>(size));
    }
};

// A port on 127.0.0.1 that nothing holds now.
int freePort()
{
    const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size);
    ::close(fd);
    return ntohs(address.sin_port);
}

DatagramSocket::Binding bindingOf(const std::string& host, int port)
{
    DatagramSocket::Binding binding;
    binding.host = host;
    binding.port = port;
    return binding;
}

} // namespace

TEST(DatagramSocket, ReadsWhatWaitsAsOneBatchWholeAndStampedByTheKernel)
{
    const int port = freePort();
    std::string error;
    DatagramSocket::Binding binding = bindingOf("127.0.0.1", port);
    binding.receiveBufferBytes = 1 << 20;
    const auto socket = DatagramSocket::open(binding, error);
    ASSERT_TRUE(socket) << error;
    Sender sender(port);
    const std::int64_t before = realtimeNs();
    // A TS datagram, a jumbo one past any MTU's buffer, a last small one.
    const std::size_t sizes[] = {1316, 9000, 188};
    for (std::size_t k = 0; k < 3; ++k)
        sender.send(sizes[k], static_cast<std::uint8_t>(k + 1));

    ASSERT_EQ(socket->wait(), DatagramSocket::Wait::Ready);
    ASSERT_EQ(socket->receive(), 3);
    // Loopback may hand a datagram to the receiving side in a softirq after
    // sendto() has returned, so the stamp is bounded by our read, not the send.
    const std::int64_t after = realtimeNs();
    for (std::size_t k = 0; k < 3; ++k) {
        const DatagramSocket::Datagram& datagram = socket->datagram(k);
        EXPECT_EQ(datagram.size, sizes[k]);
        EXPECT_EQ(datagram.data[0], k + 1);
        EXPECT_EQ(datagram.data[datagram.size - 1], k + 1);
        EXPECT_GE(datagram.realtimeNs, before);
        EXPECT_LE(datagram.realtimeNs, after);
    }
    EXPECT_EQ(socket->receive(), 0);
}

TEST(DatagramSocket, WakeEndsAWaitUntilClearedAndATimeoutEndsOneWithNothingCome)
{
    const int port = freePort();
    std::string error;
    const auto socket = DatagramSocket::open(bindingOf("127.0.0.1", port), error);
    ASSERT_TRUE(socket) << error;
    socket->wake();
    EXPECT_EQ(socket->wait(), DatagramSocket::Wait::Woken);
    socket->clearWake();
    EXPECT_EQ(socket->wait(0), DatagramSocket::Wait::TimedOut);
    Sender(port).send(188, 7);
    EXPECT_EQ(socket->wait(1000), DatagramSocket::Wait::Ready);
}

// As rtspsrc binds its sources: port 0 for the system's choice, read back, and
// without sharing, so that a port another socket has is refused.
TEST(DatagramSocket, PortZeroIsTheSystemsChoiceAndATakenPortIsRefusedWithoutReuse)
{
    std::string error;
    DatagramSocket::Binding binding = bindingOf("0.0.0.0", 0);
    binding.reuseAddress = false;
    const auto first = DatagramSocket::open(binding, error);
    ASSERT_TRUE(first) << error;
    const int port = first->boundPort();
    EXPECT_GT(port, 0);
    binding.port = port;
    EXPECT_FALSE(DatagramSocket::open(binding, error));
    EXPECT_NE(error.find("port " + std::to_string(port) + ": Address already in use"), std::string::npos) << error;
}

TEST(DatagramSocket, SaysWhereItCannotReceive)
{
    std::string error;
    DatagramSocket::Binding binding = bindingOf("239.255.42.1", freePort());
    binding.interface = "no-such-interface0";
    const auto socket = DatagramSocket::open(binding, error);
    EXPECT_FALSE(socket);
    EXPECT_NE(error.find("Cannot receive on 239.255.42.1 port "), std::string::npos) << error;
    EXPECT_NE(error.find("no-such-interface0"), std::string::npos) << error;
}

// What rtspsrc does with the source it makes from udp://0.0.0.0: binds it on
// the way to READY and reads the port and socket back, gives it caps, and on a
// timeout with nothing come (a firewall dropping UDP) tries TCP instead.
TEST(UdpBatchSource, TakesRtspsrcsSettingsAndSaysWhenNothingCame)
{
    gst_init(nullptr, nullptr);
    UdpBatchSource::registerElement();
    GstElement* source = gst_element_make_from_uri(GST_URI_SRC, "udp://0.0.0.0", nullptr, nullptr);
    ASSERT_TRUE(source);
    EXPECT_STREQ(GST_OBJECT_NAME(gst_element_get_factory(source)), UdpBatchSource::kFactoryName);
    GstCaps* caps = gst_caps_from_string("application/x-rtp, media=video, clock-rate=90000");
    g_object_set(source, "port", 0, "reuse", FALSE, "caps", caps, "timeout", guint64 {200000000}, nullptr);
    GstElement* pipeline = gst_pipeline_new(nullptr);
    GstElement* sink = gst_element_factory_make("appsink", nullptr);
    gst_bin_add_many(GST_BIN(pipeline), source, sink, nullptr);
    ASSERT_TRUE(gst_element_link(source, sink));
    ASSERT_EQ(gst_element_set_state(source, GST_STATE_READY), GST_STATE_CHANGE_SUCCESS);
    int port = 0;
    GSocket* socket = nullptr;
    g_object_get(source, "port", &port, "used-socket", &socket, nullptr);
    EXPECT_GT(port, 0);
    ASSERT_TRUE(socket);
    EXPECT_GE(g_socket_get_fd(socket), 0);
    g_object_unref(socket);

    gst_element_set_state(pipeline, GST_STATE_PLAYING);
    GstBus* bus = gst_element_get_bus(pipeline);
    GstMessage* timeout = gst_bus_timed_pop_filtered(bus, 2 * GST_SECOND, GST_MESSAGE_ELEMENT);
    ASSERT_TRUE(timeout);
    EXPECT_TRUE(gst_structure_has_name(gst_message_get_structure(timeout), "GstUDPSrcTimeout"));
    gst_message_unref(timeout);
    Sender(port).send(1316, 9);
    GstSample* sample = nullptr;
    g_signal_emit_by_name(sink, "try-pull-sample", 2 * GST_SECOND, &sample);
    ASSERT_TRUE(sample);
    EXPECT_EQ(gst_buffer_get_size(gst_sample_get_buffer(sample)), 1316u);
    EXPECT_TRUE(gst_caps_is_equal(gst_sample_get_caps(sample), caps));
    gst_sample_unref(sample);
    gst_element_set_state(pipeline, GST_STATE_NULL);
    gst_object_unref(bus);
    gst_object_unref(pipeline);
    gst_caps_unref(caps);
}

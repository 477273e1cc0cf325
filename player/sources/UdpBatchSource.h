#pragma once

// The player's source for udp:// URLs, ranked above udpsrc: a live source that
// pushes what waits in its socket as one buffer list (DatagramSocket), each
// datagram a buffer whose DTS is the kernel's receive time as a running time,
// as udpsrc's socket-timestamp=realtime gives it. A probe's source pushes into
// the demuxer and parsers on its own thread, so udpsrc's poll, read and control
// message per datagram were most of what receiving cost; batched, the socket
// calls are two per batch.
// Properties: uri, multicast-iface, buffer-size (as udpsrc's). Errors go to
// the bus with the address and the system's reason.
// Private to player/. Thread: registerElement on any thread.

#include <string_view>

typedef struct _GstElement GstElement;

namespace zephyrscope {

class UdpBatchSource {
public:
    static constexpr const char* kFactoryName = "zephyrscopeudpsrc";
    // What a udp:// URI gets: this source, or udpsrc where it is not registered.
    static constexpr std::string_view kUdpFactories[] = {kFactoryName, "udpsrc"};

    // Makes the element known to GStreamer in this process (once; any thread).
    static void registerElement();
};

} // namespace zephyrscope

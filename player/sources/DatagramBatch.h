#pragma once

// The datagrams a DatagramSocket read, as the buffers a live source pushes:
// one buffer a datagram, all sharing one copy of their bytes, each with the
// kernel's receive time as its running time (DTS and PTS, as udpsrc's buffers
// have them). Private to player/. Thread: the source's streaming thread.

#include <gst/gst.h>

namespace zephyrscope {

class DatagramSocket;

class DatagramBatch {
public:
    // The first count datagrams socket holds, timed on element's clock.
    static GstBufferList* buffers(GstElement* element, const DatagramSocket& socket, int count);
};

} // namespace zephyrscope

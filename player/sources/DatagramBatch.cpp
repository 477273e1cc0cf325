#include "DatagramBatch.h"

#include "DatagramSocket.h"
#include "GstHandles.h"

#include <cstring>
#include <ctime>

namespace zephyrscope {

using namespace gsthandles;

namespace {

std::int64_t realtimeNowNs()
{
    timespec now {};
    clock_gettime(CLOCK_REALTIME, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

// The running time now, read once for a batch; none without a clock.
GstClockTime runningTimeNow(GstElement* element)
{
    ClockPtr clock(gst_element_get_clock(element));
    if (!clock)
        return GST_CLOCK_TIME_NONE;
    const GstClockTime now = gst_clock_get_time(clock.get());
    const GstClockTime base = gst_element_get_base_time(element);
    return now >= base ? now - base : 0;
}

} // namespace

GstBufferList* DatagramBatch::buffers(GstElement* element, const DatagramSocket& socket, int count)
{
    gsize total = 0;
    for (int k = 0; k < count; ++k)
        total += socket.datagram(k).size;
    GstMemory* bytes = gst_allocator_alloc(nullptr, total, nullptr);
    GstMapInfo map;
    gst_memory_map(bytes, &map, GST_MAP_WRITE);
    for (int k = 0, offset = 0; k < count; offset += static_cast<int>(socket.datagram(k).size), ++k)
        std::memcpy(map.data + offset, socket.datagram(k).data, socket.datagram(k).size);
    gst_memory_unmap(bytes, &map);
    const GstClockTime running = runningTimeNow(element);
    const std::int64_t realtimeNow = realtimeNowNs();
    GstBufferList* list = gst_buffer_list_new_sized(count);
    gssize offset = 0;
    for (int k = 0; k < count; ++k) {
        const DatagramSocket::Datagram& datagram = socket.datagram(k);
        GstBuffer* buffer = gst_buffer_new();
        gst_buffer_append_memory(buffer, gst_memory_share(bytes, offset, static_cast<gssize>(datagram.size)));
        offset += static_cast<gssize>(datagram.size);
        // The kernel's receive time on the running clock: now, less how long
        // ago it came; both timestamps, as udpsrc's buffers have them.
        if (GST_CLOCK_TIME_IS_VALID(running)) {
            const std::int64_t ago = datagram.realtimeNs >= 0 ? realtimeNow - datagram.realtimeNs : 0;
            GST_BUFFER_DTS(buffer) = ago < 0 || static_cast<GstClockTime>(ago) > running ? running : running - ago;
            GST_BUFFER_PTS(buffer) = GST_BUFFER_DTS(buffer);
        }
        gst_buffer_list_add(list, buffer);
    }
    gst_memory_unref(bytes);
    return list;
}

} // namespace zephyrscope

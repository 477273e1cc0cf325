#include "UdpBatchSource.h"

#include "DatagramSocket.h"
#include "GstHandles.h"
#include "Version.h"

#include <gst/base/gstpushsrc.h>
#include <gst/gst.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <memory>
#include <mutex>
#include <string>

namespace zephyrscope {

namespace {

// What the element keeps; owned by it, freed in its finalize.
struct UdpBatchState {
    std::mutex mutex; // the settings and the socket's pointer, for unlock on another thread
    std::string uri, host, interface;
    int port = 0;
    int bufferSize = 0;
    std::unique_ptr<DatagramSocket> socket;
};

} // namespace

} // namespace zephyrscope

// ---- The GObject type ---------------------------------------------------------

struct ZsUdpBatchSrc {
    GstPushSrc parent;
    zephyrscope::UdpBatchState* state;
};
struct ZsUdpBatchSrcClass {
    GstPushSrcClass parent_class;
};

static void zs_udp_batch_src_uri_handler_init(gpointer iface, gpointer data);

G_DEFINE_TYPE_WITH_CODE(ZsUdpBatchSrc, zs_udp_batch_src, GST_TYPE_PUSH_SRC,
                        G_IMPLEMENT_INTERFACE(GST_TYPE_URI_HANDLER, zs_udp_batch_src_uri_handler_init))

namespace zephyrscope {

namespace {

using namespace gsthandles;

enum { PROP_0, PROP_URI, PROP_MULTICAST_IFACE, PROP_BUFFER_SIZE };

GstStaticPadTemplate srcTemplate = GST_STATIC_PAD_TEMPLATE("src", GST_PAD_SRC, GST_PAD_ALWAYS, GST_STATIC_CAPS_ANY);

UdpBatchState& stateOf(gpointer element)
{
    return *reinterpret_cast<ZsUdpBatchSrc*>(element)->state;
}

bool setUri(GstElement* element, const char* uri, GError** error)
{
    GUri* parsed = uri ? g_uri_parse(uri, G_URI_FLAGS_ENCODED_QUERY, nullptr) : nullptr;
    const int port = parsed ? g_uri_get_port(parsed) : -1;
    if (port <= 0 || port > 65535) {
        if (parsed)
            g_uri_unref(parsed);
        g_set_error(error, GST_URI_ERROR, GST_URI_ERROR_BAD_URI, "Cannot receive on '%s': it names no UDP port",
                    uri ? uri : "");
        return false;
    }
    UdpBatchState& state = stateOf(element);
    const std::lock_guard lock(state.mutex);
    state.uri = uri;
    const char* host = g_uri_get_host(parsed);
    state.host = host ? host : "";
    state.port = port;
    g_uri_unref(parsed);
    return true;
}

void setProperty(GObject* object, guint id, const GValue* value, GParamSpec* spec)
{
    UdpBatchState& state = stateOf(object);
    switch (id) {
    case PROP_URI:
        setUri(GST_ELEMENT(object), g_value_get_string(value), nullptr);
        break;
    case PROP_MULTICAST_IFACE: {
        const std::lock_guard lock(state.mutex);
        const char* name = g_value_get_string(value);
        state.interface = name ? name : "";
        break;
    }
    case PROP_BUFFER_SIZE: {
        const std::lock_guard lock(state.mutex);
        state.bufferSize = g_value_get_int(value);
        break;
    }
    default:
        G_OBJECT_WARN_INVALID_PROPERTY_ID(object, id, spec);
    }
}

void getProperty(GObject* object, guint id, GValue* value, GParamSpec* spec)
{
    UdpBatchState& state = stateOf(object);
    const std::lock_guard lock(state.mutex);
    switch (id) {
    case PROP_URI:
        g_value_set_string(value, state.uri.c_str());
        break;
    case PROP_MULTICAST_IFACE:
        g_value_set_string(value, state.interface.c_str());
        break;
    case PROP_BUFFER_SIZE:
        g_value_set_int(value, state.bufferSize);
        break;
    default:
        G_OBJECT_WARN_INVALID_PROPERTY_ID(object, id, spec);
    }
}

void finalize(GObject* object)
{
    delete reinterpret_cast<ZsUdpBatchSrc*>(object)->state;
    G_OBJECT_CLASS(zs_udp_batch_src_parent_class)->finalize(object);
}

gboolean start(GstBaseSrc* source)
{
    UdpBatchState& state = stateOf(source);
    const std::lock_guard lock(state.mutex);
    std::string error;
    state.socket = DatagramSocket::open(state.host, state.port, state.interface, state.bufferSize, error);
    if (!state.socket) {
        GST_ELEMENT_ERROR(source, RESOURCE, OPEN_READ, ("%s", error.c_str()), ("%s", state.uri.c_str()));
        return FALSE;
    }
    return TRUE;
}

gboolean stop(GstBaseSrc* source)
{
    UdpBatchState& state = stateOf(source);
    const std::lock_guard lock(state.mutex);
    state.socket.reset();
    return TRUE;
}

gboolean unlock(GstBaseSrc* source)
{
    UdpBatchState& state = stateOf(source);
    const std::lock_guard lock(state.mutex);
    if (state.socket)
        state.socket->wake();
    return TRUE;
}

gboolean unlockStop(GstBaseSrc* source)
{
    UdpBatchState& state = stateOf(source);
    const std::lock_guard lock(state.mutex);
    if (state.socket)
        state.socket->clearWake();
    return TRUE;
}

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

// The batch the socket read, one buffer a datagram, sharing one copy of their
// bytes (shared once written: a memory mapped for writing cannot be).
GstBufferList* batchOf(GstElement* element, const DatagramSocket& socket, int count)
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

GstFlowReturn create(GstPushSrc* pushSource, GstBuffer** buffer)
{
    auto* source = GST_BASE_SRC(pushSource);
    DatagramSocket& socket = *stateOf(source).socket;
    int count = 0;
    while (count == 0) {
        if (!socket.wait())
            return GST_FLOW_FLUSHING;
        count = socket.receive();
    }
    if (count < 0) {
        const int error = errno;
        const UdpBatchState& state = stateOf(source);
        GST_ELEMENT_ERROR(source, RESOURCE, READ,
                          ("Cannot receive on %s port %d: %s", state.host.c_str(), state.port, g_strerror(error)),
                          ("%s", state.uri.c_str()));
        return GST_FLOW_ERROR;
    }
    gst_base_src_submit_buffer_list(source, batchOf(GST_ELEMENT(source), socket, count));
    *buffer = nullptr;
    return GST_FLOW_OK;
}

gboolean pluginInit(GstPlugin* plugin)
{
    return gst_element_register(plugin, UdpBatchSource::kFactoryName, GST_RANK_PRIMARY + 1,
                                zs_udp_batch_src_get_type());
}

} // namespace

} // namespace zephyrscope

using namespace zephyrscope;

static void zs_udp_batch_src_class_init(ZsUdpBatchSrcClass* klass)
{
    auto* objectClass = G_OBJECT_CLASS(klass);
    objectClass->set_property = setProperty;
    objectClass->get_property = getProperty;
    objectClass->finalize = finalize;
    const auto flags = static_cast<GParamFlags>(G_PARAM_READWRITE | G_PARAM_STATIC_STRINGS);
    g_object_class_install_property(objectClass, PROP_URI,
                                    g_param_spec_string("uri", "URI", "udp://host:port to receive on", nullptr, flags));
    g_object_class_install_property(
        objectClass, PROP_MULTICAST_IFACE,
        g_param_spec_string("multicast-iface", "Multicast interface", "Interface to join the group on", nullptr, flags));
    g_object_class_install_property(objectClass, PROP_BUFFER_SIZE,
                                    g_param_spec_int("buffer-size", "Buffer size", "Socket receive buffer in bytes", 0,
                                                     G_MAXINT, 0, flags));
    auto* elementClass = GST_ELEMENT_CLASS(klass);
    gst_element_class_add_static_pad_template(elementClass, &srcTemplate);
    gst_element_class_set_static_metadata(elementClass, "UDP batch source", "Source/Network",
                                          "Receives UDP datagrams a batch at a time, with their kernel receive times",
                                          "Zephyrscope");
    auto* baseClass = GST_BASE_SRC_CLASS(klass);
    baseClass->start = start;
    baseClass->stop = stop;
    baseClass->unlock = unlock;
    baseClass->unlock_stop = unlockStop;
    GST_PUSH_SRC_CLASS(klass)->create = create;
}

static void zs_udp_batch_src_init(ZsUdpBatchSrc* self)
{
    self->state = new UdpBatchState();
    gst_base_src_set_live(GST_BASE_SRC(self), TRUE);
    gst_base_src_set_format(GST_BASE_SRC(self), GST_FORMAT_TIME);
    gst_base_src_set_do_timestamp(GST_BASE_SRC(self), TRUE);
}

static GstURIType uriType(GType)
{
    return GST_URI_SRC;
}

static const gchar* const* uriProtocols(GType)
{
    static const gchar* const protocols[] = {"udp", nullptr};
    return protocols;
}

static gchar* uriGet(GstURIHandler* handler)
{
    UdpBatchState& state = stateOf(handler);
    const std::lock_guard lock(state.mutex);
    return g_strdup(state.uri.c_str());
}

static gboolean uriSet(GstURIHandler* handler, const gchar* uri, GError** error)
{
    return setUri(GST_ELEMENT(handler), uri, error);
}

static void zs_udp_batch_src_uri_handler_init(gpointer iface, gpointer)
{
    auto* handler = static_cast<GstURIHandlerInterface*>(iface);
    handler->get_type = uriType;
    handler->get_protocols = uriProtocols;
    handler->get_uri = uriGet;
    handler->set_uri = uriSet;
}

namespace zephyrscope {

void UdpBatchSource::registerElement()
{
    static std::once_flag once;
    std::call_once(once, [] {
        gst_plugin_register_static(GST_VERSION_MAJOR, GST_VERSION_MINOR, "zephyrscopeudp",
                                   "UDP received a batch at a time", pluginInit, ZEPHYRSCOPE_VERSION, "Proprietary",
                                   "zephyrscope", "Zephyrscope", "https://zephyrscope.invalid");
    });
}

} // namespace zephyrscope

#include "UdpBatchSource.h"

#include "DatagramBatch.h"
#include "DatagramSocket.h"
#include "GstHandles.h"
#include "SourceUriHandler.h"
#include "Version.h"

#include <gio/gio.h>
#include <gst/base/gstpushsrc.h>
#include <gst/gst.h>

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>

namespace zephyrscope {

namespace {

// What the element keeps; owned by it, freed in its finalize.
struct UdpBatchState {
    std::mutex mutex; // the settings and the socket's pointer, for unlock on another thread
    std::string uri;
    DatagramSocket::Binding binding;
    gsthandles::CapsPtr caps;
    guint64 timeoutNs = 0; // 0: none
    std::unique_ptr<DatagramSocket> socket;
    gsthandles::GObjectPtr<GSocket> sharedSocket; // the socket, for a sender beside the element
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

enum { PROP_0, PROP_URI, PROP_MULTICAST_IFACE, PROP_BUFFER_SIZE, PROP_PORT, PROP_REUSE, PROP_CAPS, PROP_TIMEOUT,
       PROP_USED_SOCKET };

// rtspsrc asks for a source of the wildcard address alone, and sets its port after.
bool namesWildcard(const char* host)
{
    return host && (std::strcmp(host, "0.0.0.0") == 0 || std::strcmp(host, "::0") == 0 || std::strcmp(host, "::") == 0);
}

GstStaticPadTemplate srcTemplate = GST_STATIC_PAD_TEMPLATE("src", GST_PAD_SRC, GST_PAD_ALWAYS, GST_STATIC_CAPS_ANY);

UdpBatchState& stateOf(gpointer element)
{
    return *reinterpret_cast<ZsUdpBatchSrc*>(element)->state;
}

bool setUri(GstElement* element, const char* uri, GError** error)
{
    const UriPtr parsed(uri ? g_uri_parse(uri, G_URI_FLAGS_ENCODED_QUERY, nullptr) : nullptr);
    const char* host = parsed ? g_uri_get_host(parsed.get()) : nullptr;
    int port = parsed ? g_uri_get_port(parsed.get()) : -1;
    if (port == -1 && parsed && namesWildcard(host))
        port = 0;
    if (port < 0 || port > 65535 || (port == 0 && !namesWildcard(host))) {
        g_set_error(error, GST_URI_ERROR, GST_URI_ERROR_BAD_URI, "Cannot receive on '%s': it names no UDP port",
                    uri ? uri : "");
        return false;
    }
    UdpBatchState& state = stateOf(element);
    const std::lock_guard lock(state.mutex);
    state.uri = uri;
    state.binding.host = host ? host : "";
    state.binding.port = port;
    return true;
}

void setProperty(GObject* object, guint id, const GValue* value, GParamSpec* spec)
{
    if (id == PROP_URI) {
        setUri(GST_ELEMENT(object), g_value_get_string(value), nullptr);
        return;
    }
    UdpBatchState& state = stateOf(object);
    const std::lock_guard lock(state.mutex);
    switch (id) {
    case PROP_MULTICAST_IFACE:
        state.binding.interface = g_value_get_string(value) ? g_value_get_string(value) : "";
        break;
    case PROP_BUFFER_SIZE:
        state.binding.receiveBufferBytes = g_value_get_int(value);
        break;
    case PROP_PORT:
        state.binding.port = g_value_get_int(value);
        break;
    case PROP_REUSE:
        state.binding.reuseAddress = g_value_get_boolean(value);
        break;
    case PROP_CAPS:
        state.caps.reset(gst_value_get_caps(value) ? gst_caps_copy(gst_value_get_caps(value)) : nullptr);
        break;
    case PROP_TIMEOUT:
        state.timeoutNs = g_value_get_uint64(value);
        break;
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
        g_value_set_string(value, state.binding.interface.c_str());
        break;
    case PROP_BUFFER_SIZE:
        g_value_set_int(value, state.binding.receiveBufferBytes);
        break;
    case PROP_PORT:
        g_value_set_int(value, state.socket ? state.socket->boundPort() : state.binding.port);
        break;
    case PROP_REUSE:
        g_value_set_boolean(value, state.binding.reuseAddress);
        break;
    case PROP_CAPS:
        gst_value_set_caps(value, state.caps.get());
        break;
    case PROP_TIMEOUT:
        g_value_set_uint64(value, state.timeoutNs);
        break;
    case PROP_USED_SOCKET:
        g_value_set_object(value, state.sharedSocket.get());
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

// The socket is bound on the way to READY, as udpsrc's is: rtspsrc reads the
// port the system gave, and tries the next where it was taken.
bool open(GstElement* element)
{
    UdpBatchState& state = stateOf(element);
    const std::lock_guard lock(state.mutex);
    std::string error;
    state.socket = DatagramSocket::open(state.binding, error);
    if (!state.socket) {
        GST_ELEMENT_ERROR(element, RESOURCE, OPEN_READ, ("%s", error.c_str()), ("%s", state.uri.c_str()));
        return false;
    }
    GError* failed = nullptr;
    const int shared = ::dup(state.socket->descriptor());
    state.sharedSocket.reset(shared >= 0 ? g_socket_new_from_fd(shared, &failed) : nullptr);
    if (!state.sharedSocket) {
        GST_ELEMENT_ERROR(element, RESOURCE, OPEN_READ,
                          ("Cannot receive on %s: %s", state.uri.c_str(), failed ? failed->message : g_strerror(errno)),
                          (nullptr));
        g_clear_error(&failed);
        if (shared >= 0)
            ::close(shared);
        state.socket.reset();
        return false;
    }
    return true;
}

void close(GstElement* element)
{
    UdpBatchState& state = stateOf(element);
    const std::lock_guard lock(state.mutex);
    state.sharedSocket.reset();
    state.socket.reset();
}

GstStateChangeReturn changeState(GstElement* element, GstStateChange transition)
{
    if (transition == GST_STATE_CHANGE_NULL_TO_READY && !open(element))
        return GST_STATE_CHANGE_FAILURE;
    const GstStateChangeReturn result = GST_ELEMENT_CLASS(zs_udp_batch_src_parent_class)->change_state(element, transition);
    if (transition == GST_STATE_CHANGE_READY_TO_NULL)
        close(element);
    return result;
}

GstCaps* capsOf(GstBaseSrc* source, GstCaps* filter)
{
    UdpBatchState& state = stateOf(source);
    const std::lock_guard lock(state.mutex);
    CapsPtr caps(state.caps ? gst_caps_ref(state.caps.get()) : gst_caps_new_any());
    return filter ? gst_caps_intersect_full(filter, caps.get(), GST_CAPS_INTERSECT_FIRST) : caps.release();
}

// unlock and unlock_stop: the socket's wait woken, or its wake-up cleared.
template <void (DatagramSocket::*Call)()>
gboolean callSocket(GstBaseSrc* source)
{
    UdpBatchState& state = stateOf(source);
    const std::lock_guard lock(state.mutex);
    if (state.socket)
        (*state.socket.*Call)();
    return TRUE;
}

GstFlowReturn create(GstPushSrc* pushSource, GstBuffer** buffer)
{
    auto* source = GST_BASE_SRC(pushSource);
    UdpBatchState& state = stateOf(source);
    DatagramSocket& socket = *state.socket;
    int count = 0;
    while (count == 0) {
        guint64 timeoutNs = 0;
        {
            const std::lock_guard lock(state.mutex);
            timeoutNs = state.timeoutNs;
        }
        const int timeoutMs = timeoutNs > 0 ? static_cast<int>(std::min<guint64>(timeoutNs / 1000000, G_MAXINT)) : -1;
        const DatagramSocket::Wait waited = socket.wait(timeoutMs);
        if (waited == DatagramSocket::Wait::Woken)
            return GST_FLOW_FLUSHING;
        // Nothing came for that long: said as udpsrc says it (rtspsrc then tries TCP).
        if (waited == DatagramSocket::Wait::TimedOut) {
            gst_element_post_message(GST_ELEMENT(source),
                                     gst_message_new_element(GST_OBJECT(source),
                                                             gst_structure_new("GstUDPSrcTimeout", "timeout",
                                                                               G_TYPE_UINT64, timeoutNs, nullptr)));
            continue;
        }
        count = socket.receive();
    }
    if (count < 0) {
        const int error = errno;
        GST_ELEMENT_ERROR(source, RESOURCE, READ,
                          ("Cannot receive on %s port %d: %s", state.binding.host.c_str(), socket.boundPort(),
                           g_strerror(error)),
                          ("%s", state.uri.c_str()));
        return GST_FLOW_ERROR;
    }
    gst_base_src_submit_buffer_list(source, DatagramBatch::buffers(GST_ELEMENT(source), socket, count));
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
    GParamSpec* properties[] = {
        nullptr, // PROP_0
        g_param_spec_string("uri", "URI", "udp://host:port to receive on", nullptr, flags),
        g_param_spec_string("multicast-iface", "Multicast interface", "Interface to join the group on", nullptr, flags),
        g_param_spec_int("buffer-size", "Buffer size", "Socket receive buffer in bytes", 0, G_MAXINT, 0, flags),
        // What rtspsrc sets and reads on the sources it makes from a udp:// URI.
        g_param_spec_int("port", "Port", "Port to bind (0: the system's choice)", 0, 65535, 0, flags),
        g_param_spec_boolean("reuse", "Reuse", "Share the port with other sockets", TRUE, flags),
        g_param_spec_boxed("caps", "Caps", "The caps of what comes", GST_TYPE_CAPS, flags),
        g_param_spec_uint64("timeout", "Timeout",
                            "Post a GstUDPSrcTimeout message after this many ns without data (0: never)", 0,
                            G_MAXUINT64, 0, flags),
        g_param_spec_object("used-socket", "Used socket", "The socket it receives on", G_TYPE_SOCKET,
                            static_cast<GParamFlags>(G_PARAM_READABLE | G_PARAM_STATIC_STRINGS)),
    };
    static_assert(G_N_ELEMENTS(properties) == PROP_USED_SOCKET + 1, "one spec per property, in their order");
    g_object_class_install_properties(objectClass, G_N_ELEMENTS(properties), properties);
    auto* elementClass = GST_ELEMENT_CLASS(klass);
    elementClass->change_state = changeState;
    gst_element_class_add_static_pad_template(elementClass, &srcTemplate);
    gst_element_class_set_static_metadata(elementClass, "UDP batch source", "Source/Network",
                                          "Receives UDP datagrams a batch at a time, with their kernel receive times",
                                          "Zephyrscope");
    auto* baseClass = GST_BASE_SRC_CLASS(klass);
    baseClass->get_caps = capsOf;
    baseClass->unlock = callSocket<&DatagramSocket::wake>;
    baseClass->unlock_stop = callSocket<&DatagramSocket::clearWake>;
    GST_PUSH_SRC_CLASS(klass)->create = create;
}

static void zs_udp_batch_src_init(ZsUdpBatchSrc* self)
{
    self->state = new UdpBatchState();
    gst_base_src_set_live(GST_BASE_SRC(self), TRUE);
    gst_base_src_set_format(GST_BASE_SRC(self), GST_FORMAT_TIME);
    gst_base_src_set_do_timestamp(GST_BASE_SRC(self), TRUE);
}

static constexpr const gchar* kUriProtocols[] = {"udp", nullptr};

static void zs_udp_batch_src_uri_handler_init(gpointer iface, gpointer)
{
    initSourceUriHandler<kUriProtocols, stateOf, setUri>(iface);
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

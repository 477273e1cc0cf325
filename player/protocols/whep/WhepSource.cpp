#include "WhepSource.h"

#include "GstHandles.h"
#include "SourceUriHandler.h"
#include "WhepSession.h"
#include "WhepState.h"
#include "WhepStreams.h"
#include "Version.h"

#include <mutex>

namespace zephyrscope {

namespace {

// The jitter buffers' delay: room for a repair to come back, on a busy machine
// too (webrtcbin's default is 200 ms).
constexpr guint kJitterBufferMs = 500;

} // namespace

} // namespace zephyrscope

// ---- The GObject type ---------------------------------------------------------

struct ZsWhepSrc {
    GstBin parent;
    zephyrscope::WhepState* state;
};
struct ZsWhepSrcClass {
    GstBinClass parent_class;
};

static void zs_whep_src_uri_handler_init(gpointer iface, gpointer data);

G_DEFINE_TYPE_WITH_CODE(ZsWhepSrc, zs_whep_src, GST_TYPE_BIN,
                        G_IMPLEMENT_INTERFACE(GST_TYPE_URI_HANDLER, zs_whep_src_uri_handler_init))

namespace zephyrscope {

namespace {

enum { PROP_0, PROP_URI, PROP_RTP_BYTES };

GstStaticPadTemplate srcTemplate = GST_STATIC_PAD_TEMPLATE("src_%u", GST_PAD_SRC, GST_PAD_SOMETIMES, GST_STATIC_CAPS_ANY);

WhepState& stateOf(gpointer element)
{
    return *reinterpret_cast<ZsWhepSrc*>(element)->state;
}

bool isWhepSource(GstElement* element)
{
    return element && G_TYPE_CHECK_INSTANCE_TYPE(element, zs_whep_src_get_type());
}

GstStateChangeReturn changeState(GstElement* element, GstStateChange transition)
{
    WhepState& state = stateOf(element);
    if (transition == GST_STATE_CHANGE_NULL_TO_READY && !state.webrtc) {
        GST_ELEMENT_ERROR(element, CORE, MISSING_PLUGIN, ("%s",
                          "Cannot create element 'webrtcbin': the GStreamer WebRTC or ICE (nice) plugin is missing"),
                          (nullptr));
        return GST_STATE_CHANGE_FAILURE;
    }
    if (transition == GST_STATE_CHANGE_READY_TO_PAUSED) {
        WhepSession::addTransceivers(state);
        std::lock_guard lock(state.mutex);
        state.stopping = false;
        state.lastDataUs = 0;
    } else if (transition == GST_STATE_CHANGE_PAUSED_TO_READY) {
        // webrtcbin still runs here: the worker's waits on it end.
        WhepSession::stop(state);
        WhepSession::end(state);
    }
    GstStateChangeReturn result = GST_ELEMENT_CLASS(zs_whep_src_parent_class)->change_state(element, transition);
    if (result == GST_STATE_CHANGE_FAILURE)
        return result;
    if (transition == GST_STATE_CHANGE_READY_TO_PAUSED)
        WhepSession::start(state);
    // A live source: nothing to preroll.
    if (transition == GST_STATE_CHANGE_READY_TO_PAUSED || transition == GST_STATE_CHANGE_PLAYING_TO_PAUSED)
        return GST_STATE_CHANGE_NO_PREROLL;
    return result;
}

void getProperty(GObject* object, guint id, GValue* value, GParamSpec* spec)
{
    WhepState& state = stateOf(object);
    switch (id) {
    case PROP_URI: {
        std::lock_guard lock(state.mutex);
        g_value_set_string(value, state.uri.c_str());
        break;
    }
    case PROP_RTP_BYTES:
        g_value_set_uint64(value, state.rtpBytes.load());
        break;
    default:
        G_OBJECT_WARN_INVALID_PROPERTY_ID(object, id, spec);
    }
}

bool setUri(GstElement* element, const gchar* uri, GError** error)
{
    if (!uri || WhepSource::endpointOf(uri).empty()) {
        g_set_error(error, GST_URI_ERROR, GST_URI_ERROR_BAD_URI, "Not a WHEP URI: %s", uri ? uri : "(none)");
        return false;
    }
    WhepState& state = stateOf(element);
    std::lock_guard lock(state.mutex);
    state.uri = uri;
    return true;
}

void setProperty(GObject* object, guint id, const GValue* value, GParamSpec* spec)
{
    if (id == PROP_URI)
        setUri(GST_ELEMENT(object), g_value_get_string(value), nullptr);
    else
        G_OBJECT_WARN_INVALID_PROPERTY_ID(object, id, spec);
}

void finalize(GObject* object)
{
    WhepState* state = reinterpret_cast<ZsWhepSrc*>(object)->state;
    WhepSession::stop(*state);
    WhepSession::end(*state);
    for (GstPad* pad : state->pendingPads)
        gst_object_unref(gst_object_ref_sink(pad));
    g_object_unref(state->cancellable);
    delete state;
    G_OBJECT_CLASS(zs_whep_src_parent_class)->finalize(object);
}

gboolean pluginInit(GstPlugin* plugin)
{
    return gst_element_register(plugin, WhepSource::kFactoryName, GST_RANK_PRIMARY, zs_whep_src_get_type());
}

} // namespace

} // namespace zephyrscope

using namespace zephyrscope;

static void zs_whep_src_class_init(ZsWhepSrcClass* klass)
{
    auto* objectClass = G_OBJECT_CLASS(klass);
    objectClass->set_property = setProperty;
    objectClass->get_property = getProperty;
    objectClass->finalize = finalize;
    g_object_class_install_property(objectClass, PROP_URI,
                                    g_param_spec_string("uri", "URI", "whep+http(s):// URL of the WHEP endpoint",
                                                        nullptr, G_PARAM_READWRITE));
    g_object_class_install_property(objectClass, PROP_RTP_BYTES,
                                    g_param_spec_uint64("rtp-bytes", "RTP bytes",
                                                        "Bytes of the RTP packets received, repaired ones included", 0,
                                                        G_MAXUINT64, 0, G_PARAM_READABLE));
    auto* elementClass = GST_ELEMENT_CLASS(klass);
    elementClass->change_state = changeState;
    gst_element_class_add_static_pad_template(elementClass, &srcTemplate);
    gst_element_class_set_static_metadata(elementClass, "WHEP source", "Source/Network/WebRTC",
                                          "Plays a WHEP endpoint over webrtcbin", "Zephyrscope");
}

// A packet is asked for again once a later one shows the gap. rtpjitterbuffer's
// default also asks for the next packet as soon as its estimated arrival time
// passes; video comes in bursts a frame apart, so that guess asked for 10 to 20
// packets that were on their way per one lost, and the sender's repairs of them
// took bandwidth the stream needed.
static void onNewJitterBuffer(GstElement*, GstElement* jitterBuffer, guint, guint, gpointer)
{
    g_object_set(jitterBuffer, "rtx-next-seqnum", FALSE, nullptr);
}

static void zs_whep_src_init(ZsWhepSrc* self)
{
    // Owned by the element: freed in its finalize.
    self->state = new WhepState();
    WhepState& state = *self->state;
    state.self = GST_ELEMENT(self);
    state.cancellable = g_cancellable_new();
    GST_OBJECT_FLAG_SET(self, GST_ELEMENT_FLAG_SOURCE);
    state.webrtc = gst_element_factory_make("webrtcbin", "webrtc");
    if (!state.webrtc)
        return;
    // Set from its nick: the enum's type is webrtcbin's library's.
    gst_util_set_object_arg(G_OBJECT(state.webrtc), "bundle-policy", "max-bundle");
    g_object_set(state.webrtc, "latency", kJitterBufferMs, nullptr);
    gst_bin_add(GST_BIN(self), state.webrtc);
    if (GstElement* rtpbin = gst_bin_get_by_name(GST_BIN(state.webrtc), "rtpbin")) {
        g_signal_connect(rtpbin, "new-jitterbuffer", G_CALLBACK(onNewJitterBuffer), nullptr);
        gst_object_unref(rtpbin);
    }
    WhepStreams::connect(state);
    WhepSession::connect(state);
}

static constexpr const gchar* kUriProtocols[] = {WhepSource::kHttpScheme, WhepSource::kHttpsScheme, nullptr};

static void zs_whep_src_uri_handler_init(gpointer iface, gpointer)
{
    initSourceUriHandler<kUriProtocols, stateOf, setUri>(iface);
}

namespace zephyrscope {

void WhepSource::registerElement()
{
    static std::once_flag once;
    std::call_once(once, [] {
        gst_plugin_register_static(GST_VERSION_MAJOR, GST_VERSION_MINOR, "zephyrscopewhep",
                                   "WHEP playback over webrtcbin", pluginInit, ZEPHYRSCOPE_VERSION, "Proprietary",
                                   "zephyrscope", "Zephyrscope", "https://zephyrscope.invalid");
    });
}

std::string WhepSource::endpointOf(const std::string& uri)
{
    const auto end = uri.find("://");
    if (end == std::string::npos)
        return {};
    std::string scheme = uri.substr(0, end);
    for (char& c : scheme)
        c = static_cast<char>(g_ascii_tolower(c));
    if (!handles(scheme))
        return {};
    return scheme.substr(5) + uri.substr(end);
}

GstElement* WhepSource::webrtcOf(GstElement* source)
{
    if (!isWhepSource(source))
        return nullptr;
    return stateOf(source).webrtc ? GST_ELEMENT(gst_object_ref(stateOf(source).webrtc)) : nullptr;
}

bool WhepSource::videoAnswered(GstElement* source)
{
    return isWhepSource(source) && stateOf(source).videoAnswered;
}

std::string WhepSource::openingProblem(GstElement* source, unsigned waitedS)
{
    return isWhepSource(source) ? WhepSession::openingProblem(stateOf(source), waitedS) : std::string();
}

void WhepSource::configure(GstElement* source, const Settings& settings)
{
    if (!isWhepSource(source))
        return;
    WhepState& state = stateOf(source);
    {
        std::lock_guard lock(state.mutex);
        state.settings = settings;
    }
    if (!state.webrtc)
        return;
    if (!settings.stunServer.empty())
        g_object_set(state.webrtc, "stun-server", settings.stunServer.c_str(), nullptr);
    if (!settings.turnServer.empty())
        g_object_set(state.webrtc, "turn-server", settings.turnServer.c_str(), nullptr);
}

} // namespace zephyrscope

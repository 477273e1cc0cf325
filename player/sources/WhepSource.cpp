#include "WhepSource.h"

#include "GstHandles.h"
#include "WhepExchange.h"

#define GST_USE_UNSTABLE_API
#include <gio/gio.h>
#include <gst/sdp/sdp.h>
#include <gst/webrtc/webrtc.h>

#include <atomic>
#include <cstdlib>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

namespace zephyrscope {

using namespace gsthandles;

namespace {

// What webrtcbin is offered: H.264 or VP8 video, Opus audio. No H.264 profile is
// named, so the sender's answer keeps the one it sends.
constexpr const char* kVideoCaps = "application/x-rtp,media=video,encoding-name=H264,payload=96,clock-rate=90000,"
                                   "packetization-mode=(string)1;"
                                   "application/x-rtp,media=video,encoding-name=VP8,payload=97,clock-rate=90000";
constexpr const char* kAudioCaps = "application/x-rtp,media=audio,encoding-name=OPUS,payload=111,clock-rate=48000,"
                                   "encoding-params=(string)2";
// NACKs go out as RTCP feedback, within the session's RTCP bandwidth: at the
// default share a burst of losses is only partly asked for again.
constexpr gdouble kRtcpFraction = 0.5;
constexpr auto kWatchStep = std::chrono::milliseconds(200);
constexpr std::int64_t kExposeWaitUs = 2000000;
constexpr guint kJitterBufferMs = 500;

std::mutex g_settingsMutex;
WhepSource::Settings g_settings;

// Lives as long as the element; touched by the element's state changes (the
// thread changing states), its worker and webrtcbin's streaming threads.
struct WhepState {
    std::mutex mutex; // guards what follows, up to the atomics
    std::condition_variable changed;
    std::string uri;
    bool stopping = false;
    bool gathered = false;
    GstWebRTCICEConnectionState ice = GST_WEBRTC_ICE_CONNECTION_STATE_NEW;
    std::string sessionUrl;
    int expectedStreams = 0;
    // The streams' ghost pads, added together once every stream has come (or
    // kExposeWaitUs after the first): playbin3 selects from the streams it has
    // seen, and a video stream coming after the audio would play unannounced.
    std::vector<GstPad*> pendingPads;
    int arrivedStreams = 0;
    std::int64_t firstPadUs = 0;
    bool exposed = false;

    WhepSource::Settings settings;
    GstElement* webrtc = nullptr; // owned by the bin
    bool transceiversAdded = false;
    GCancellable* cancellable = nullptr;
    std::thread worker;

    std::atomic<bool> flowing {false}; // the pads are out: data may go through
    std::atomic<bool> videoAnswered {false}; // the answer sends a video stream
    std::atomic<std::int64_t> lastDataUs {0};
    std::atomic<std::uint64_t> rtpBytes {0};
};

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

void postError(GstElement* self, GQuark domain, gint code, const std::string& text)
{
    gst_element_message_full(self, GST_MESSAGE_ERROR, domain, code, g_strdup(text.c_str()), nullptr, __FILE__,
                             GST_FUNCTION, __LINE__);
}

// Waits for a webrtcbin promise; the reply's error, or empty.
std::string awaitPromise(GstPromise* promise, GstStructure** replyOut = nullptr)
{
    gst_promise_wait(promise);
    const GstStructure* reply = gst_promise_get_reply(promise);
    std::string error;
    if (reply && gst_structure_has_field(reply, "error")) {
        GError* raw = nullptr;
        gst_structure_get(reply, "error", G_TYPE_ERROR, &raw, nullptr);
        ErrorPtr owned(raw);
        error = owned && owned->message ? owned->message : "webrtcbin refused";
    } else if (replyOut && reply) {
        *replyOut = gst_structure_copy(reply);
    }
    gst_promise_unref(promise);
    return error;
}

void addTransceivers(WhepState& state)
{
    for (const char* text : {kVideoCaps, kAudioCaps}) {
        CapsPtr caps(gst_caps_from_string(text));
        GstWebRTCRTPTransceiver* transceiver = nullptr;
        g_signal_emit_by_name(state.webrtc, "add-transceiver", GST_WEBRTC_RTP_TRANSCEIVER_DIRECTION_RECVONLY,
                              caps.get(), &transceiver);
        if (transceiver) {
            // On every stream: with bundled streams webrtcbin (1.22) sets up
            // retransmission from the last transceiver's setting, so a video-only
            // NACK got no repair at all. Upstream: no fix identified as of 1.28.6.
            g_object_set(transceiver, "do-nack", TRUE, nullptr);
            gst_object_unref(transceiver);
        }
    }
}

// webrtcbin (1.22) offers retransmission for the first codec of a stream only:
// a sender that picks VP8 over H.264 could then repair nothing. Each video codec
// offered with NACK gets its own rtx payload type here.
// Upstream fix: 36c983ccd5 "webrtcbin: ensure RTX entry for all formats" (1.28.0; 1.26.1).
void offerRetransmissionForEveryCodec(GstSDPMessage* sdp)
{
    std::set<int> used;
    for (guint m = 0; m < gst_sdp_message_medias_len(sdp); ++m) {
        const GstSDPMedia* media = gst_sdp_message_get_media(sdp, m);
        for (guint f = 0; f < gst_sdp_media_formats_len(media); ++f)
            used.insert(std::atoi(gst_sdp_media_get_format(media, f)));
    }
    int next = 100;
    for (guint m = 0; m < gst_sdp_message_medias_len(sdp); ++m) {
        auto* media = const_cast<GstSDPMedia*>(gst_sdp_message_get_media(sdp, m));
        if (g_strcmp0(gst_sdp_media_get_media(media), "video") != 0)
            continue;
        std::set<std::string> repaired, nacked;
        for (guint a = 0; a < gst_sdp_media_attributes_len(media); ++a) {
            const GstSDPAttribute* attribute = gst_sdp_media_get_attribute(media, a);
            const std::string value = attribute->value ? attribute->value : "";
            if (g_strcmp0(attribute->key, "fmtp") == 0 && value.find(" apt=") != std::string::npos)
                repaired.insert(value.substr(value.find(" apt=") + 5));
            else if (g_strcmp0(attribute->key, "rtcp-fb") == 0 && value.find(" nack") != std::string::npos)
                nacked.insert(value.substr(0, value.find(' ')));
        }
        for (const std::string& format : nacked) {
            if (repaired.count(format))
                continue;
            while (used.count(next))
                ++next;
            used.insert(next);
            const std::string pt = std::to_string(next);
            gst_sdp_media_add_format(media, pt.c_str());
            gst_sdp_media_add_attribute(media, "rtpmap", (pt + " rtx/90000").c_str());
            gst_sdp_media_add_attribute(media, "fmtp", (pt + " apt=" + format).c_str());
        }
    }
}

// The answer's streams that will send: m-lines with a port, of the kind asked
// for ("video"), or of any kind (nullptr).
int sendingStreams(const GstSDPMessage* sdp, const char* kind = nullptr)
{
    int count = 0;
    for (guint i = 0; i < gst_sdp_message_medias_len(sdp); ++i) {
        const GstSDPMedia* media = gst_sdp_message_get_media(sdp, i);
        if (gst_sdp_media_get_port(media) != 0 && (!kind || g_strcmp0(gst_sdp_media_get_media(media), kind) == 0))
            ++count;
    }
    return count;
}

void raiseRtcpShare(GstElement* webrtc)
{
    GstIterator* it = gst_bin_iterate_recurse(GST_BIN(webrtc));
    GValue item = G_VALUE_INIT;
    while (gst_iterator_next(it, &item) == GST_ITERATOR_OK) {
        auto* element = GST_ELEMENT(g_value_get_object(&item));
        GstElementFactory* factory = gst_element_get_factory(element);
        if (factory && g_strcmp0(GST_OBJECT_NAME(factory), "rtpsession") == 0)
            g_object_set(element, "rtcp-fraction", kRtcpFraction, nullptr);
        g_value_reset(&item);
    }
    g_value_unset(&item);
    gst_iterator_free(it);
}

bool waitOrStop(WhepState& state, std::unique_lock<std::mutex>& lock, std::chrono::milliseconds time)
{
    state.changed.wait_for(lock, time);
    return state.stopping;
}

// Adds the streams' pads, once; any thread.
void exposePads(GstElement* self)
{
    WhepState& state = stateOf(self);
    std::vector<GstPad*> pads;
    {
        std::lock_guard lock(state.mutex);
        if (state.exposed)
            return;
        state.exposed = true;
        pads.swap(state.pendingPads);
    }
    for (GstPad* pad : pads)
        gst_element_add_pad(self, pad);
    gst_element_no_more_pads(self);
    state.flowing = true;
}

// The worker: offer, answer, then watch the connection until the element stops.
void negotiate(GstElement* self)
{
    WhepState& state = stateOf(self);
    const std::string endpoint = WhepSource::endpointOf(state.uri);
    const WhepExchange exchange(endpoint, state.settings.bearerToken);
    const auto started = std::chrono::steady_clock::now();
    const auto iceDeadline = started + std::chrono::seconds(state.settings.iceTimeoutS);

    GstStructure* rawReply = nullptr;
    GstPromise* promise = gst_promise_new();
    g_signal_emit_by_name(state.webrtc, "create-offer", nullptr, promise);
    std::string error = awaitPromise(promise, &rawReply);
    StructurePtr reply(rawReply);
    GstWebRTCSessionDescription* offer = nullptr;
    if (error.empty() && reply)
        gst_structure_get(reply.get(), "offer", GST_TYPE_WEBRTC_SESSION_DESCRIPTION, &offer, nullptr);
    if (!offer) {
        postError(self, GST_RESOURCE_ERROR, GST_RESOURCE_ERROR_FAILED,
                  "Cannot make WebRTC offer for '" + endpoint + "': " + (error.empty() ? "no offer" : error));
        return;
    }
    offerRetransmissionForEveryCodec(offer->sdp);
    g_signal_emit_by_name(state.webrtc, "set-local-description", offer, nullptr);
    gst_webrtc_session_description_free(offer);

    // No trickle: the offer goes with every candidate in it.
    {
        std::unique_lock lock(state.mutex);
        while (!state.gathered && !state.stopping && std::chrono::steady_clock::now() < iceDeadline)
            waitOrStop(state, lock, kWatchStep);
        if (state.stopping)
            return;
    }
    GstWebRTCSessionDescription* local = nullptr;
    g_object_get(state.webrtc, "local-description", &local, nullptr);
    if (!local) {
        postError(self, GST_RESOURCE_ERROR, GST_RESOURCE_ERROR_FAILED,
                  "Cannot make WebRTC offer for '" + endpoint + "': no local description");
        return;
    }
    CharPtr offerText(gst_sdp_message_as_text(local->sdp));
    gst_webrtc_session_description_free(local);

    const WhepExchange::Answer answer = exchange.offer(offerText.get(), state.cancellable);
    {
        std::lock_guard lock(state.mutex);
        if (state.stopping)
            return;
        state.sessionUrl = answer.sessionUrl;
    }
    if (!answer.error.empty()) {
        postError(self, GST_RESOURCE_ERROR, GST_RESOURCE_ERROR_OPEN_READ, answer.error);
        return;
    }
    GstSDPMessage* sdp = nullptr;
    if (gst_sdp_message_new_from_text(answer.sdp.c_str(), &sdp) != GST_SDP_OK || !sdp) {
        postError(self, GST_RESOURCE_ERROR, GST_RESOURCE_ERROR_OPEN_READ,
                  "Cannot open WHEP endpoint '" + endpoint + "': its answer is no SDP");
        return;
    }
    {
        std::lock_guard lock(state.mutex);
        state.expectedStreams = sendingStreams(sdp);
    }
    state.videoAnswered = sendingStreams(sdp, "video") > 0;
    GstWebRTCSessionDescription* remote = gst_webrtc_session_description_new(GST_WEBRTC_SDP_TYPE_ANSWER, sdp);
    promise = gst_promise_new();
    g_signal_emit_by_name(state.webrtc, "set-remote-description", remote, promise);
    gst_webrtc_session_description_free(remote);
    error = awaitPromise(promise);
    if (!error.empty()) {
        postError(self, GST_RESOURCE_ERROR, GST_RESOURCE_ERROR_OPEN_READ,
                  "Cannot open WHEP endpoint '" + endpoint + "': its answer was refused: " + error);
        return;
    }
    raiseRtcpShare(state.webrtc);

    std::unique_lock lock(state.mutex);
    while (!waitOrStop(state, lock, kWatchStep)) {
        const auto now = std::chrono::steady_clock::now();
        const bool connected = state.ice == GST_WEBRTC_ICE_CONNECTION_STATE_CONNECTED
            || state.ice == GST_WEBRTC_ICE_CONNECTION_STATE_COMPLETED;
        const std::int64_t lastDataUs = state.lastDataUs.load();
        if (lastDataUs == 0 && !connected && (now >= iceDeadline || state.ice == GST_WEBRTC_ICE_CONNECTION_STATE_FAILED)) {
            lock.unlock();
            postError(self, GST_RESOURCE_ERROR, GST_RESOURCE_ERROR_OPEN_READ,
                      "Cannot connect to WHEP endpoint '" + endpoint + "': no ICE connection in "
                          + std::to_string(state.settings.iceTimeoutS) + " s");
            return;
        }
        if (!state.exposed && state.firstPadUs != 0 && g_get_monotonic_time() - state.firstPadUs >= kExposeWaitUs) {
            lock.unlock();
            exposePads(self);
            lock.lock();
        }
        const std::int64_t silentUs = g_get_monotonic_time() - lastDataUs;
        if (lastDataUs != 0 && silentUs >= static_cast<std::int64_t>(state.settings.silenceTimeoutS) * 1000000) {
            lock.unlock();
            postError(self, GST_RESOURCE_ERROR, GST_RESOURCE_ERROR_READ,
                      "the server ended the WebRTC session: no media for "
                          + std::to_string(state.settings.silenceTimeoutS) + " s");
            return;
        }
    }
}

void stopWorker(WhepState& state)
{
    {
        std::lock_guard lock(state.mutex);
        state.stopping = true;
    }
    g_cancellable_cancel(state.cancellable);
    state.changed.notify_all();
    if (state.worker.joinable())
        state.worker.join();
}

// Ends the session at the endpoint, once; said on stderr when it cannot be.
void endSession(WhepState& state)
{
    std::string sessionUrl;
    {
        std::lock_guard lock(state.mutex);
        sessionUrl.swap(state.sessionUrl);
    }
    if (sessionUrl.empty())
        return;
    const std::string error = WhepExchange(WhepSource::endpointOf(state.uri), state.settings.bearerToken).end(sessionUrl);
    if (!error.empty())
        g_printerr("Player: %s\n", error.c_str());
}

// ---- webrtcbin's signals ------------------------------------------------------

void onIceGathering(GObject* webrtc, GParamSpec*, gpointer self)
{
    GstWebRTCICEGatheringState gathering = GST_WEBRTC_ICE_GATHERING_STATE_NEW;
    g_object_get(webrtc, "ice-gathering-state", &gathering, nullptr);
    WhepState& state = stateOf(self);
    {
        std::lock_guard lock(state.mutex);
        state.gathered = gathering == GST_WEBRTC_ICE_GATHERING_STATE_COMPLETE;
    }
    state.changed.notify_all();
}

void onIceConnection(GObject* webrtc, GParamSpec*, gpointer self)
{
    GstWebRTCICEConnectionState ice = GST_WEBRTC_ICE_CONNECTION_STATE_NEW;
    g_object_get(webrtc, "ice-connection-state", &ice, nullptr);
    WhepState& state = stateOf(self);
    {
        std::lock_guard lock(state.mutex);
        state.ice = ice;
    }
    state.changed.notify_all();
}

// Streaming thread: RTP out of webrtcbin's jitter buffers.
GstPadProbeReturn onRtp(GstPad*, GstPadProbeInfo* info, gpointer self)
{
    WhepState& state = stateOf(self);
    if (info->type & GST_PAD_PROBE_TYPE_BUFFER)
        state.rtpBytes.fetch_add(gst_buffer_get_size(GST_PAD_PROBE_INFO_BUFFER(info)));
    else if (info->type & GST_PAD_PROBE_TYPE_BUFFER_LIST)
        state.rtpBytes.fetch_add(gst_buffer_list_calculate_size(GST_PAD_PROBE_INFO_BUFFER_LIST(info)));
    state.lastDataUs.store(g_get_monotonic_time());
    return GST_PAD_PROBE_OK;
}

// Streaming thread: what a stream brings before its pad is out goes nowhere.
// Its sticky events (caps, segment) stay on the pad and go out with the first
// data after.
GstPadProbeReturn onDepayloaded(GstPad*, GstPadProbeInfo*, gpointer self)
{
    return stateOf(self).flowing.load() ? GST_PAD_PROBE_REMOVE : GST_PAD_PROBE_DROP;
}

// The highest-ranked depayloader for an RTP stream's caps.
GstElement* makeDepayloader(GstCaps* caps)
{
    GList* all = gst_element_factory_list_get_elements(GST_ELEMENT_FACTORY_TYPE_DEPAYLOADER, GST_RANK_MARGINAL);
    GList* fitting = gst_element_factory_list_filter(all, caps, GST_PAD_SINK, FALSE);
    fitting = g_list_sort(fitting, gst_plugin_feature_rank_compare_func);
    GstElement* depayloader = fitting ? gst_element_factory_create(GST_ELEMENT_FACTORY(fitting->data), nullptr) : nullptr;
    gst_plugin_feature_list_free(fitting);
    gst_plugin_feature_list_free(all);
    return depayloader;
}

// Streaming thread: a stream arrived; it goes out depayloaded.
void onWebrtcPad(GstElement*, GstPad* pad, gpointer self)
{
    if (GST_PAD_DIRECTION(pad) != GST_PAD_SRC)
        return;
    auto* bin = GST_BIN(self);
    WhepState& state = stateOf(self);
    gst_pad_add_probe(pad, static_cast<GstPadProbeType>(GST_PAD_PROBE_TYPE_BUFFER | GST_PAD_PROBE_TYPE_BUFFER_LIST),
                      onRtp, self, nullptr);
    CapsPtr caps(gst_pad_get_current_caps(pad));
    if (!caps)
        caps.reset(gst_pad_query_caps(pad, nullptr));
    GstElement* depayloader = caps ? makeDepayloader(caps.get()) : nullptr;
    if (!depayloader) {
        CharPtr text(caps ? gst_caps_to_string(caps.get()) : g_strdup("none"));
        GST_ELEMENT_WARNING(GST_ELEMENT(self), STREAM, CODEC_NOT_FOUND, (nullptr),
                            ("no RTP depayloader for %s; the stream is left out", text.get()));
        GstElement* sink = gst_element_factory_make("fakesink", nullptr);
        gst_bin_add(bin, sink);
        gst_element_sync_state_with_parent(sink);
        PadPtr sinkPad(gst_element_get_static_pad(sink, "sink"));
        gst_pad_link(pad, sinkPad.get());
    } else {
        gst_bin_add(bin, depayloader);
        gst_element_sync_state_with_parent(depayloader);
        PadPtr sinkPad(gst_element_get_static_pad(depayloader, "sink"));
        gst_pad_link(pad, sinkPad.get());
        PadPtr target(gst_element_get_static_pad(depayloader, "src"));
        gst_pad_add_probe(target.get(), GST_PAD_PROBE_TYPE_DATA_DOWNSTREAM, onDepayloaded, self, nullptr);
        GstPad* ghost = gst_ghost_pad_new_from_template(
            nullptr, target.get(), gst_element_class_get_pad_template(GST_ELEMENT_GET_CLASS(self), "src_%u"));
        gst_pad_set_active(ghost, TRUE);
        std::lock_guard lock(state.mutex);
        state.pendingPads.push_back(ghost);
    }
    bool complete = false;
    {
        std::lock_guard lock(state.mutex);
        if (state.firstPadUs == 0)
            state.firstPadUs = g_get_monotonic_time();
        complete = ++state.arrivedStreams == state.expectedStreams;
    }
    if (complete)
        exposePads(GST_ELEMENT(self));
}

// ---- The element's class --------------------------------------------------------

GstStateChangeReturn changeState(GstElement* element, GstStateChange transition)
{
    WhepState& state = stateOf(element);
    if (transition == GST_STATE_CHANGE_NULL_TO_READY && !state.webrtc) {
        postError(element, GST_CORE_ERROR, GST_CORE_ERROR_MISSING_PLUGIN,
                  "Cannot create element 'webrtcbin': the GStreamer WebRTC or ICE (nice) plugin is missing");
        return GST_STATE_CHANGE_FAILURE;
    }
    if (transition == GST_STATE_CHANGE_READY_TO_PAUSED) {
        if (!state.transceiversAdded) {
            addTransceivers(state);
            state.transceiversAdded = true;
        }
        std::lock_guard lock(state.mutex);
        state.stopping = false;
        state.lastDataUs = 0;
    } else if (transition == GST_STATE_CHANGE_PAUSED_TO_READY) {
        // webrtcbin still runs here: the worker's waits on it end.
        stopWorker(state);
        endSession(state);
    }
    GstStateChangeReturn result = GST_ELEMENT_CLASS(zs_whep_src_parent_class)->change_state(element, transition);
    if (result == GST_STATE_CHANGE_FAILURE)
        return result;
    if (transition == GST_STATE_CHANGE_READY_TO_PAUSED) {
        g_cancellable_reset(state.cancellable);
        state.worker = std::thread(negotiate, element);
    }
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
    stopWorker(*state);
    endSession(*state);
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

static void zs_whep_src_init(ZsWhepSrc* self)
{
    self->state = new WhepState();
    WhepState& state = *self->state;
    {
        std::lock_guard lock(g_settingsMutex);
        state.settings = g_settings;
    }
    state.cancellable = g_cancellable_new();
    GST_OBJECT_FLAG_SET(self, GST_ELEMENT_FLAG_SOURCE);
    state.webrtc = gst_element_factory_make("webrtcbin", "webrtc");
    if (!state.webrtc)
        return;
    // The jitter buffers' delay: room for a repair to come back, on a busy
    // machine too (webrtcbin's default is 200 ms).
    g_object_set(state.webrtc, "bundle-policy", GST_WEBRTC_BUNDLE_POLICY_MAX_BUNDLE, "latency", kJitterBufferMs,
                 nullptr);
    if (!state.settings.stunServer.empty())
        g_object_set(state.webrtc, "stun-server", state.settings.stunServer.c_str(), nullptr);
    if (!state.settings.turnServer.empty())
        g_object_set(state.webrtc, "turn-server", state.settings.turnServer.c_str(), nullptr);
    gst_bin_add(GST_BIN(self), state.webrtc);
    g_signal_connect(state.webrtc, "pad-added", G_CALLBACK(onWebrtcPad), self);
    g_signal_connect(state.webrtc, "notify::ice-gathering-state", G_CALLBACK(onIceGathering), self);
    g_signal_connect(state.webrtc, "notify::ice-connection-state", G_CALLBACK(onIceConnection), self);
}

static GstURIType uriType(GType)
{
    return GST_URI_SRC;
}

static const gchar* const* uriProtocols(GType)
{
    static const gchar* const protocols[] = {WhepSource::kHttpScheme, WhepSource::kHttpsScheme, nullptr};
    return protocols;
}

static gchar* uriGet(GstURIHandler* handler)
{
    WhepState& state = stateOf(handler);
    std::lock_guard lock(state.mutex);
    return g_strdup(state.uri.c_str());
}

static gboolean uriSet(GstURIHandler* handler, const gchar* uri, GError** error)
{
    return setUri(GST_ELEMENT(handler), uri, error);
}

static void zs_whep_src_uri_handler_init(gpointer iface, gpointer)
{
    auto* handler = static_cast<GstURIHandlerInterface*>(iface);
    handler->get_type = uriType;
    handler->get_protocols = uriProtocols;
    handler->get_uri = uriGet;
    handler->set_uri = uriSet;
}

namespace zephyrscope {

void WhepSource::registerElement()
{
    static std::once_flag once;
    std::call_once(once, [] {
        gst_plugin_register_static(GST_VERSION_MAJOR, GST_VERSION_MINOR, "zephyrscopewhep",
                                   "WHEP playback over webrtcbin", pluginInit, "2.0", "Proprietary", "zephyrscope",
                                   "Zephyrscope", "https://zephyrscope.invalid");
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
    if (!source || !G_TYPE_CHECK_INSTANCE_TYPE(source, zs_whep_src_get_type()))
        return nullptr;
    return stateOf(source).webrtc ? GST_ELEMENT(gst_object_ref(stateOf(source).webrtc)) : nullptr;
}

bool WhepSource::videoAnswered(GstElement* source)
{
    return source && G_TYPE_CHECK_INSTANCE_TYPE(source, zs_whep_src_get_type()) && stateOf(source).videoAnswered;
}

void WhepSource::configure(const Settings& settings)
{
    std::lock_guard lock(g_settingsMutex);
    g_settings = settings;
}

} // namespace zephyrscope

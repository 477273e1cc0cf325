#include "WhepSession.h"

#include "FactoryName.h"
#include "GstHandles.h"
#include "LoopbackCandidates.h"
#include "WebRtcTypes.h"
#include "WhepExchange.h"
#include "WhepSdp.h"
#include "WhepState.h"
#include "WhepStreams.h"

#include <chrono>

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
constexpr const char* kDirectionType = "GstWebRTCRTPTransceiverDirection";
// NACKs go out as RTCP feedback, within the session's RTCP bandwidth: at the
// default share a burst of losses is only partly asked for again.
constexpr gdouble kRtcpFraction = 0.5;
constexpr auto kWatchStep = std::chrono::milliseconds(200);
// Host candidates come at once; a STUN or TURN server that does not answer
// holds the gathering far longer, and where no interface can gather it never
// completes. The offer goes with what came by then.
constexpr auto kGatheringLimit = std::chrono::seconds(5);

void postError(WhepState& state, GQuark domain, gint code, const std::string& text)
{
    gst_element_message_full(state.self, GST_MESSAGE_ERROR, domain, code, g_strdup(text.c_str()), nullptr, __FILE__,
                             GST_FUNCTION, __LINE__);
}

// Waits for a webrtcbin promise; the reply's error, or empty.
std::string awaitPromise(GstPromise* promise, StructurePtr* replyOut = nullptr)
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
        replyOut->reset(gst_structure_copy(reply));
    }
    gst_promise_unref(promise);
    return error;
}

void raiseRtcpShare(GstElement* webrtc)
{
    forEachObject<GstElement>(gst_bin_iterate_recurse(GST_BIN(webrtc)), [](GstElement* element) {
        if (factoryName(element) == "rtpsession")
            g_object_set(element, "rtcp-fraction", kRtcpFraction, nullptr);
    });
}

bool connected(const std::string& ice)
{
    return ice == "connected" || ice == "completed";
}

void onIceGathering(GObject* webrtc, GParamSpec*, gpointer data)
{
    auto& state = *static_cast<WhepState*>(data);
    const bool complete = WebRtcTypes::enumNick(webrtc, "ice-gathering-state") == "complete";
    {
        std::lock_guard lock(state.mutex);
        state.gathered = complete;
    }
    state.changed.notify_all();
}

void onIceConnection(GObject* webrtc, GParamSpec*, gpointer data)
{
    auto& state = *static_cast<WhepState*>(data);
    std::string ice = WebRtcTypes::enumNick(webrtc, "ice-connection-state");
    {
        std::lock_guard lock(state.mutex);
        state.ice = std::move(ice);
    }
    state.changed.notify_all();
}

// The offer with every ICE candidate in it; empty, with the error posted, when
// there is none (or the element stops first).
std::string makeOffer(WhepState& state, const std::string& endpoint, WebRtcTypes::Description& offerKept)
{
    const std::string failing = "Cannot make WebRTC offer for '" + endpoint + "': ";
    StructurePtr reply;
    GstPromise* promise = gst_promise_new();
    g_signal_emit_by_name(state.webrtc, "create-offer", nullptr, promise);
    const std::string error = awaitPromise(promise, &reply);
    WebRtcTypes::Description offer
        = reply ? WebRtcTypes::Description::copyOf(gst_structure_get_value(reply.get(), "offer"), "offer")
                : WebRtcTypes::Description();
    if (!offer) {
        postError(state, GST_RESOURCE_ERROR, GST_RESOURCE_ERROR_FAILED, failing + (error.empty() ? "no offer" : error));
        return {};
    }
    WhepSdp::offerRetransmissionForEveryCodec(offer.sdp());
    g_signal_emit_by_name(state.webrtc, "set-local-description", offer.get(), nullptr);
    offerKept = std::move(offer);

    // No trickle: the offer goes with every candidate in it, or with those
    // gathered within kGatheringLimit.
    {
        const auto deadline = std::chrono::steady_clock::now() + kGatheringLimit;
        std::unique_lock lock(state.mutex);
        while (!state.gathered && !state.stopping && std::chrono::steady_clock::now() < deadline)
            state.changed.wait_for(lock, kWatchStep);
        if (state.stopping)
            return {};
    }
    const WebRtcTypes::Description local
        = WebRtcTypes::Description::ofProperty(G_OBJECT(state.webrtc), "local-description", "offer");
    if (!local) {
        postError(state, GST_RESOURCE_ERROR, GST_RESOURCE_ERROR_FAILED, failing + "no local description");
        return {};
    }
    if (WhepSdp::candidates(local.sdp()) == 0) {
        const auto limitS = std::chrono::duration_cast<std::chrono::seconds>(kGatheringLimit).count();
        postError(state, GST_RESOURCE_ERROR, GST_RESOURCE_ERROR_OPEN_READ,
                  failing + "no ICE candidate gathered in " + std::to_string(limitS) + " s");
        return {};
    }
    {
        std::lock_guard lock(state.mutex);
        state.offered = true;
    }
    CharPtr text(gst_sdp_message_as_text(local.sdp()));
    return text.get();
}

// Gives webrtcbin the endpoint's answer; false, with the error posted, when it cannot.
bool takeAnswer(WhepState& state, const std::string& endpoint, const std::string& answerSdp,
                WebRtcTypes::Description& description)
{
    const std::string failing = "Cannot open WHEP endpoint '" + endpoint + "': ";
    GstSDPMessage* sdp = nullptr;
    if (gst_sdp_message_new_from_text(answerSdp.c_str(), &sdp) != GST_SDP_OK || !sdp) {
        if (sdp)
            gst_sdp_message_free(sdp);
        postError(state, GST_RESOURCE_ERROR, GST_RESOURCE_ERROR_OPEN_READ, failing + "its answer is no SDP");
        return false;
    }
    {
        std::lock_guard lock(state.mutex);
        state.expectedStreams = WhepSdp::sendingStreams(sdp);
        state.answered = true;
    }
    state.videoAnswered = WhepSdp::sendingStreams(sdp, "video") > 0;
    // The answer is made from the offer's description (webrtcbin's library
    // allocated it), its type and SDP replaced.
    if (!description.become("answer", sdp)) {
        postError(state, GST_RESOURCE_ERROR, GST_RESOURCE_ERROR_FAILED,
                  failing + "webrtcbin knows no SDP type 'answer'");
        return false;
    }
    GstPromise* promise = gst_promise_new();
    g_signal_emit_by_name(state.webrtc, "set-remote-description", description.get(), promise);
    const std::string error = awaitPromise(promise);
    if (!error.empty()) {
        postError(state, GST_RESOURCE_ERROR, GST_RESOURCE_ERROR_OPEN_READ, failing + "its answer was refused: " + error);
        return false;
    }
    return true;
}

// Until the element stops: a failed ICE connection, the streams still to be
// exposed, and media that stops once it flowed.
void watch(WhepState& state, const std::string& endpoint)
{
    std::unique_lock lock(state.mutex);
    while (!state.stopping) {
        state.changed.wait_for(lock, kWatchStep);
        if (state.stopping)
            return;
        const std::int64_t lastDataUs = state.lastDataUs.load();
        if (lastDataUs == 0 && state.ice == "failed") {
            lock.unlock();
            postError(state, GST_RESOURCE_ERROR, GST_RESOURCE_ERROR_OPEN_READ,
                      "Cannot connect to WHEP endpoint '" + endpoint + "': no ICE connection: every candidate failed");
            return;
        }
        if (!state.exposed && state.firstPadUs != 0
            && g_get_monotonic_time() - state.firstPadUs >= WhepStreams::kExposeWaitUs) {
            lock.unlock();
            WhepStreams::expose(state);
            lock.lock();
        }
        const std::int64_t silentUs = g_get_monotonic_time() - lastDataUs;
        if (lastDataUs != 0 && silentUs >= static_cast<std::int64_t>(state.settings.silenceTimeoutS) * 1000000) {
            lock.unlock();
            postError(state, GST_RESOURCE_ERROR, GST_RESOURCE_ERROR_READ,
                      "the server ended the WebRTC session: no media for "
                          + std::to_string(state.settings.silenceTimeoutS) + " s");
            return;
        }
    }
}

// The worker: offer, answer, then watch the connection until the element stops.
void negotiate(WhepState& state)
{
    const std::string endpoint = WhepSource::endpointOf(state.uri);
    if (LoopbackCandidates::isLoopbackEndpoint(endpoint, state.cancellable))
        LoopbackCandidates::addTo(state.webrtc);
    WebRtcTypes::Description description;
    const std::string offer = makeOffer(state, endpoint, description);
    if (offer.empty())
        return;
    const WhepExchange::Answer answer
        = WhepExchange(endpoint, state.settings.bearerToken).offer(offer, state.cancellable);
    {
        std::lock_guard lock(state.mutex);
        if (state.stopping)
            return;
        state.sessionUrl = answer.sessionUrl;
    }
    if (!answer.error.empty()) {
        postError(state, GST_RESOURCE_ERROR, GST_RESOURCE_ERROR_OPEN_READ, answer.error);
        return;
    }
    if (!takeAnswer(state, endpoint, answer.sdp, description))
        return;
    raiseRtcpShare(state.webrtc);
    watch(state, endpoint);
}

} // namespace

void WhepSession::connect(WhepState& state)
{
    g_signal_connect(state.webrtc, "notify::ice-gathering-state", G_CALLBACK(onIceGathering), &state);
    g_signal_connect(state.webrtc, "notify::ice-connection-state", G_CALLBACK(onIceConnection), &state);
}

void WhepSession::addTransceivers(WhepState& state)
{
    if (state.transceiversAdded)
        return;
    state.transceiversAdded = true;
    const std::optional<gint> receiveOnly = WebRtcTypes::enumValue(kDirectionType, "recvonly");
    if (!receiveOnly) {
        GST_ELEMENT_WARNING(state.self, CORE, MISSING_PLUGIN, (nullptr),
                            ("webrtcbin knows no transceiver direction 'recvonly'"));
        return;
    }
    for (const char* text : {kVideoCaps, kAudioCaps}) {
        CapsPtr caps(gst_caps_from_string(text));
        GObject* transceiver = nullptr;
        g_signal_emit_by_name(state.webrtc, "add-transceiver", *receiveOnly, caps.get(), &transceiver);
        if (transceiver) {
            // On every stream: with bundled streams webrtcbin (1.22) sets up
            // retransmission from the last transceiver's setting, so a video-only
            // NACK got no repair at all. Upstream: no fix identified as of 1.28.6.
            g_object_set(transceiver, "do-nack", TRUE, nullptr);
            g_object_unref(transceiver);
        }
    }
}

void WhepSession::start(WhepState& state)
{
    g_cancellable_reset(state.cancellable);
    state.worker = std::thread(negotiate, std::ref(state));
}

void WhepSession::stop(WhepState& state)
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

void WhepSession::end(WhepState& state)
{
    std::string sessionUrl;
    {
        std::lock_guard lock(state.mutex);
        sessionUrl.swap(state.sessionUrl);
    }
    if (sessionUrl.empty())
        return;
    const std::string error
        = WhepExchange(WhepSource::endpointOf(state.uri), state.settings.bearerToken).end(sessionUrl);
    if (!error.empty())
        g_printerr("Player: %s\n", error.c_str());
}

std::string WhepSession::openingProblem(WhepState& state, unsigned waitedS)
{
    std::lock_guard lock(state.mutex);
    const std::string endpoint = WhepSource::endpointOf(state.uri);
    const std::string within = " in " + std::to_string(waitedS) + " s";
    if (!state.offered)
        return "Cannot make WebRTC offer for '" + endpoint + "': ICE candidates not gathered" + within;
    if (!state.answered)
        return "Cannot open WHEP endpoint '" + endpoint + "': no answer" + within;
    if (!connected(state.ice))
        return "Cannot connect to WHEP endpoint '" + endpoint + "': no ICE connection" + within;
    return {};
}

} // namespace zephyrscope

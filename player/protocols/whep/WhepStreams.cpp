#include "WhepStreams.h"

#include "GstHandles.h"
#include "WhepState.h"

#include <string>

namespace zephyrscope {

using namespace gsthandles;

namespace {

// Streaming thread: RTP out of webrtcbin's jitter buffers.
GstPadProbeReturn onRtp(GstPad*, GstPadProbeInfo* info, gpointer data)
{
    auto& state = *static_cast<WhepState*>(data);
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
GstPadProbeReturn onDepayloaded(GstPad*, GstPadProbeInfo*, gpointer data)
{
    return static_cast<WhepState*>(data)->flowing.load() ? GST_PAD_PROBE_REMOVE : GST_PAD_PROBE_DROP;
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

// A stream that cannot go out goes to a sink inside the bin, so that its data
// never stops webrtcbin's streaming thread; said as a warning.
void sink(WhepState& state, GstPad* pad)
{
    GstElement* sink = gst_element_factory_make("fakesink", nullptr);
    g_object_set(sink, "sync", FALSE, "async", FALSE, nullptr);
    gst_bin_add(GST_BIN(state.self), sink);
    gst_element_sync_state_with_parent(sink);
    PadPtr sinkPad(gst_element_get_static_pad(sink, "sink"));
    gst_pad_link(pad, sinkPad.get());
}

void leaveOut(WhepState& state, GstPad* pad, GstCaps* caps)
{
    CharPtr text(caps ? gst_caps_to_string(caps) : g_strdup("none"));
    GST_ELEMENT_WARNING(state.self, STREAM, CODEC_NOT_FOUND, (nullptr),
                        ("no RTP depayloader for %s; the stream is left out", text.get()));
    sink(state, pad);
}

// A second stream of a kind already wired (webrtcbin adds one for a new SSRC or
// payload type of a transceiver, as a retransmission it could not map back
// under heavy loss makes), or any stream once the pads are out: playback
// already chose its streams.
void setAside(WhepState& state, GstPad* pad, const std::string& media, bool afterExposing)
{
    CharPtr name(gst_pad_get_name(pad));
    const std::string kind = media.empty() ? "without media" : media;
    GST_ELEMENT_WARNING(state.self, STREAM, DEMUX, (nullptr),
                        ("webrtcbin added stream %s (%s) %s; it is left out", name.get(), kind.c_str(),
                         afterExposing ? "after the streams went out" : "beside one of its kind"));
    sink(state, pad);
}

std::string mediaOf(GstCaps* caps)
{
    const GstStructure* structure = caps && gst_caps_get_size(caps) > 0 ? gst_caps_get_structure(caps, 0) : nullptr;
    const gchar* media = structure ? gst_structure_get_string(structure, "media") : nullptr;
    return media ? media : "";
}

// Streaming thread: a stream arrived; it goes out depayloaded.
void onWebrtcPad(GstElement*, GstPad* pad, gpointer data)
{
    if (GST_PAD_DIRECTION(pad) != GST_PAD_SRC)
        return;
    auto& state = *static_cast<WhepState*>(data);
    gst_pad_add_probe(pad, static_cast<GstPadProbeType>(GST_PAD_PROBE_TYPE_BUFFER | GST_PAD_PROBE_TYPE_BUFFER_LIST),
                      onRtp, &state, nullptr);
    CapsPtr caps(gst_pad_get_current_caps(pad));
    if (!caps)
        caps.reset(gst_pad_query_caps(pad, nullptr));
    const std::string media = mediaOf(caps.get());
    bool afterExposing = false, duplicate = false;
    {
        std::lock_guard lock(state.mutex);
        afterExposing = state.exposed;
        duplicate = !afterExposing && !state.wiredMedia.insert(media).second;
    }
    if (afterExposing || duplicate) {
        setAside(state, pad, media, afterExposing);
        return;
    }
    GstElement* depayloader = caps ? makeDepayloader(caps.get()) : nullptr;
    if (!depayloader) {
        leaveOut(state, pad, caps.get());
    } else {
        gst_bin_add(GST_BIN(state.self), depayloader);
        gst_element_sync_state_with_parent(depayloader);
        PadPtr sinkPad(gst_element_get_static_pad(depayloader, "sink"));
        gst_pad_link(pad, sinkPad.get());
        PadPtr target(gst_element_get_static_pad(depayloader, "src"));
        gst_pad_add_probe(target.get(), GST_PAD_PROBE_TYPE_DATA_DOWNSTREAM, onDepayloaded, &state, nullptr);
        GstPad* ghost = gst_ghost_pad_new_from_template(
            nullptr, target.get(), gst_element_class_get_pad_template(GST_ELEMENT_GET_CLASS(state.self), "src_%u"));
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
        WhepStreams::expose(state);
}

} // namespace

void WhepStreams::connect(WhepState& state)
{
    g_signal_connect(state.webrtc, "pad-added", G_CALLBACK(onWebrtcPad), &state);
}

void WhepStreams::expose(WhepState& state)
{
    std::vector<GstPad*> pads;
    {
        std::lock_guard lock(state.mutex);
        if (state.exposed)
            return;
        state.exposed = true;
        pads.swap(state.pendingPads);
    }
    for (GstPad* pad : pads)
        gst_element_add_pad(state.self, pad);
    gst_element_no_more_pads(state.self);
    state.flowing = true;
}

} // namespace zephyrscope

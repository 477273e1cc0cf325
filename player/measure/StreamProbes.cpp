#include "StreamProbes.h"

#include "DecoderDamage.h"
#include "FactoryName.h"
#include "GstHandles.h"
#include "SpliceWatch.h"
#include "TransportStreamWatch.h"

#include <gst/gst.h>
#include <gst/video/video.h>

#include <string>

namespace zephyrscope {

using namespace gsthandles;

namespace {

void postToMainLoop(GstPad* pad, const char* name)
{
    if (ElementPtr sink {GST_ELEMENT(gst_pad_get_parent(pad))})
        gst_element_post_message(sink.get(),
                                 gst_message_new_application(GST_OBJECT(sink.get()), gst_structure_new_empty(name)));
}

// What playbin3's set-up signals need: the entry's counters and the protocols to ask.
struct SetUpData {
    std::shared_ptr<StreamCounters> counters;
    std::span<const PlayerProtocol* const> protocols;
};

// Fake video sink, streaming thread: called as each frame is rendered, after
// the sink waited for its time, so the times are those of the picture changing.
void onFrameRendered(GstElement*, GstBuffer* buffer, GstPad*, gpointer data)
{
    StreamCounters& counters = StreamProbes::countersOf(data);
    const std::int64_t now = g_get_monotonic_time();
    if (!counters.transportOnly()) {
        counters.frameArrived(now);
        return;
    }
    // A parsed access unit: its decoding time (its presentation time when it
    // has none), and the frame duration its caps declare or, failing that, its own.
    GstClockTime time = GST_BUFFER_DTS(buffer);
    if (!GST_CLOCK_TIME_IS_VALID(time))
        time = GST_BUFFER_PTS(buffer);
    std::int64_t frameUs = 0;
    if (counters.videoKnown() && counters.fpsNumerator() > 0)
        frameUs = static_cast<std::int64_t>(gst_util_uint64_scale_int(GST_SECOND, counters.fpsDenominator(),
                                                                      counters.fpsNumerator())
                                            / GST_USECOND);
    else if (GST_BUFFER_DURATION_IS_VALID(buffer))
        frameUs = static_cast<std::int64_t>(GST_BUFFER_DURATION(buffer) / GST_USECOND);
    counters.accessUnitArrived(now, GST_CLOCK_TIME_IS_VALID(time) ? static_cast<std::int64_t>(time / GST_USECOND) : -1,
                               frameUs);
}

// A parsed (not decoded) video stream's caps: the size and frame rate its
// parser read from the stream's headers. False for other caps.
bool parsedVideoFormat(const GstCaps* caps, int& width, int& height, int& fpsN, int& fpsD)
{
    const GstStructure* structure = caps && gst_caps_get_size(caps) > 0 ? gst_caps_get_structure(caps, 0) : nullptr;
    if (!structure || !g_str_has_prefix(gst_structure_get_name(structure), "video/"))
        return false;
    if (!gst_structure_get_int(structure, "width", &width) || !gst_structure_get_int(structure, "height", &height))
        return false;
    if (!gst_structure_get_fraction(structure, "framerate", &fpsN, &fpsD) || fpsD <= 0) {
        fpsN = 0;
        fpsD = 1;
    }
    return true;
}

// Video sink pad, streaming thread: the negotiated format and, for sinks that
// signal nothing on rendering, each frame as it reaches the sink (which blocks
// while it waits for a frame's time, so arrivals follow the rendering clock).
GstPadProbeReturn onVideoSinkPad(GstPad* pad, GstPadProbeInfo* info, gpointer data)
{
    StreamCounters& counters = StreamProbes::countersOf(data);
    if (info->type & GST_PAD_PROBE_TYPE_BUFFER) {
        counters.frameArrived(g_get_monotonic_time());
    } else if (info->type & GST_PAD_PROBE_TYPE_EVENT_DOWNSTREAM) {
        GstEvent* event = GST_PAD_PROBE_INFO_EVENT(info);
        if (GST_EVENT_TYPE(event) == GST_EVENT_CAPS) {
            GstCaps* caps = nullptr;
            gst_event_parse_caps(event, &caps);
            GstVideoInfo video;
            int width = 0, height = 0, fpsN = 0, fpsD = 1;
            if (caps && gst_video_info_from_caps(&video, caps)) {
                counters.videoFormat(video.width, video.height, video.fps_n, video.fps_d);
                postToMainLoop(pad, StreamProbes::kVideoFormatMessage);
            } else if (counters.transportOnly() && parsedVideoFormat(caps, width, height, fpsN, fpsD)) {
                counters.videoFormat(width, height, fpsN, fpsD);
                postToMainLoop(pad, StreamProbes::kVideoFormatMessage);
            }
        }
    }
    return GST_PAD_PROBE_OK;
}

// Source pads, streaming thread: bytes and buffers received from the network or disk.
GstPadProbeReturn onSourcePad(GstPad*, GstPadProbeInfo* info, gpointer data)
{
    StreamCounters& counters = StreamProbes::countersOf(data);
    if (info->type & GST_PAD_PROBE_TYPE_BUFFER) {
        counters.dataArrived(gst_buffer_get_size(GST_PAD_PROBE_INFO_BUFFER(info)), 1);
    } else if (info->type & GST_PAD_PROBE_TYPE_BUFFER_LIST) {
        GstBufferList* list = GST_PAD_PROBE_INFO_BUFFER_LIST(info);
        counters.dataArrived(gst_buffer_list_calculate_size(list), gst_buffer_list_length(list));
    }
    return GST_PAD_PROBE_OK;
}

void probeSourcePad(GstPad* pad, const std::shared_ptr<StreamCounters>& counters)
{
    if (GST_PAD_DIRECTION(pad) == GST_PAD_SRC)
        StreamProbes::countData(pad, counters);
}

void onSourcePadAdded(GstElement*, GstPad* pad, gpointer data)
{
    probeSourcePad(pad, *static_cast<std::shared_ptr<StreamCounters>*>(data));
}

// playbin3's source-setup, on whichever thread creates the source: remember the
// source, have its protocol set it up, and count what it delivers.
void onSourceSetup(GstElement*, GstElement* source, gpointer data)
{
    const SetUpData& setUp = heldState<const SetUpData>(data);
    const auto& counters = setUp.counters;
    counters->setSource(source);
    const PlayerProtocol* protocol = protocolOfSource(setUp.protocols, factoryName(source));
    if (protocol && protocol->setUpSource)
        protocol->setUpSource(source, counters);
    if (PadPtr pad {gst_element_get_static_pad(source, "src")})
        probeSourcePad(pad.get(), counters);
    if (!GST_IS_BIN(source) || (protocol && protocol->sourceAddsPads)) {
        connectHolding(source, "pad-added", G_CALLBACK(onSourcePadAdded), counters);
    }
}

// playbin3's element-setup, for elements in any of its bins: video decoders,
// whose repaired pictures are marked; MPEG-TS demuxers for the transport
// stream's figures, then whatever a protocol takes as its own.
void onElementSetup(GstElement*, GstElement* element, gpointer data)
{
    const SetUpData& setUp = heldState<const SetUpData>(data);
    DecoderDamage::watch(element);
    if (factoryName(element) == "tsdemux") {
        TransportStreamWatch::watchDemuxer(element, setUp.counters);
        SpliceWatch::watchDemuxer(element, setUp.counters);
        return;
    }
    for (const PlayerProtocol* protocol : setUp.protocols)
        if (protocol->setUpElement && protocol->setUpElement(element, setUp.counters))
            return;
}

// A pipeline's deep-element-added: what playbin3's element-setup would have said.
void onElementAdded(GstBin*, GstBin*, GstElement* element, gpointer data)
{
    onElementSetup(nullptr, element, data);
}

} // namespace

void StreamProbes::attachToVideoSink(GstElement* sink, const std::shared_ptr<StreamCounters>& counters)
{
    const bool signalsRendering = factoryName(sink) == "fakesink";
    if (signalsRendering) {
        g_object_set(sink, "signal-handoffs", TRUE, nullptr);
        connectHolding(sink, "handoff", G_CALLBACK(onFrameRendered), counters);
    }
    if (PadPtr pad {gst_element_get_static_pad(sink, "sink")}) {
        const auto types = signalsRendering ? GST_PAD_PROBE_TYPE_EVENT_DOWNSTREAM
                                            : static_cast<GstPadProbeType>(GST_PAD_PROBE_TYPE_BUFFER
                                                                           | GST_PAD_PROBE_TYPE_EVENT_DOWNSTREAM);
        gst_pad_add_probe(pad.get(), types, onVideoSinkPad, holdForCallback(counters), releaseHeld<StreamCounters>);
    }
}

void StreamProbes::attachToPlaybin(GstElement* playbin, const std::shared_ptr<StreamCounters>& counters,
                                   std::span<const PlayerProtocol* const> protocols)
{
    const auto setUp = std::make_shared<const SetUpData>(SetUpData {counters, protocols});
    connectHolding(playbin, "source-setup", G_CALLBACK(onSourceSetup), setUp);
    connectHolding(playbin, "element-setup", G_CALLBACK(onElementSetup), setUp);
}

void StreamProbes::attachToSourceBin(GstElement* pipeline, GstElement* sourceBin,
                                     const std::shared_ptr<StreamCounters>& counters,
                                     std::span<const PlayerProtocol* const> protocols)
{
    const auto setUp = std::make_shared<const SetUpData>(SetUpData {counters, protocols});
    connectHolding(sourceBin, "source-setup", G_CALLBACK(onSourceSetup), setUp);
    connectHolding(pipeline, "deep-element-added", G_CALLBACK(onElementAdded), setUp);
}

void StreamProbes::countData(GstPad* pad, const std::shared_ptr<StreamCounters>& counters)
{
    addProbe(pad, static_cast<GstPadProbeType>(GST_PAD_PROBE_TYPE_BUFFER | GST_PAD_PROBE_TYPE_BUFFER_LIST),
             onSourcePad, counters);
}

void StreamProbes::addProbe(GstPad* pad, GstPadProbeType types, GstPadProbeCallback callback,
                            const std::shared_ptr<StreamCounters>& counters)
{
    gst_pad_add_probe(pad, types, callback, holdForCallback(counters), releaseHeld<StreamCounters>);
}

StreamCounters& StreamProbes::countersOf(gpointer data)
{
    return heldState<StreamCounters>(data);
}

} // namespace zephyrscope

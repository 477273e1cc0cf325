#include "StreamProbes.h"

#include "AdaptiveRequests.h"
#include "BroadcastSource.h"
#include "DownloadGuard.h"
#include "GstHandles.h"
#include "RistPacketCounts.h"
#include "SrtDeliveryGaps.h"
#include "TransportStreamWatch.h"
#include "WhepSource.h"

#include <gst/gst.h>
#include <gst/video/video.h>

#include <string>

namespace zephyrscope {

using namespace gsthandles;

namespace {

constexpr guint kHttpTimeoutS = 10;             // a silent HTTP server counts as gone after this
constexpr guint64 kRtspTcpTimeoutUs = 10000000; // the same for an RTSP server over TCP
// srtsrc waits for data in slices of this, looking between them whether it is
// being shut down; without it a wait has no end of its own.
constexpr gint kSrtPollTimeoutMs = 500;

std::string factoryName(GstElement* element)
{
    GstElementFactory* factory = gst_element_get_factory(element);
    return factory ? GST_OBJECT_NAME(factory) : "";
}

void postToMainLoop(GstPad* pad, const char* name)
{
    if (ElementPtr sink {GST_ELEMENT(gst_pad_get_parent(pad))})
        gst_element_post_message(sink.get(),
                                 gst_message_new_application(GST_OBJECT(sink.get()), gst_structure_new_empty(name)));
}

void releaseCounters(gpointer data)
{
    delete static_cast<std::shared_ptr<StreamCounters>*>(data);
}

gpointer holdCounters(const std::shared_ptr<StreamCounters>& counters)
{
    return new std::shared_ptr<StreamCounters>(counters);
}

StreamCounters& countersOf(gpointer data)
{
    return **static_cast<std::shared_ptr<StreamCounters>*>(data);
}

// Fake video sink, streaming thread: called as each frame is rendered, after
// the sink waited for its time, so the times are those of the picture changing.
void onFrameRendered(GstElement*, GstBuffer*, GstPad*, gpointer data)
{
    countersOf(data).frameArrived(g_get_monotonic_time());
}

void releaseCountersClosure(gpointer data, GClosure*)
{
    releaseCounters(data);
}

// Video sink pad, streaming thread: the negotiated format and, for sinks that
// signal nothing on rendering, each frame as it reaches the sink (which blocks
// while it waits for a frame's time, so arrivals follow the rendering clock).
GstPadProbeReturn onVideoSinkPad(GstPad* pad, GstPadProbeInfo* info, gpointer data)
{
    StreamCounters& counters = countersOf(data);
    if (info->type & GST_PAD_PROBE_TYPE_BUFFER) {
        counters.frameArrived(g_get_monotonic_time());
    } else if (info->type & GST_PAD_PROBE_TYPE_EVENT_DOWNSTREAM) {
        GstEvent* event = GST_PAD_PROBE_INFO_EVENT(info);
        if (GST_EVENT_TYPE(event) == GST_EVENT_CAPS) {
            GstCaps* caps = nullptr;
            gst_event_parse_caps(event, &caps);
            GstVideoInfo video;
            if (caps && gst_video_info_from_caps(&video, caps)) {
                counters.videoFormat(video.width, video.height, video.fps_n, video.fps_d);
                postToMainLoop(pad, StreamProbes::kVideoFormatMessage);
            }
        }
    }
    return GST_PAD_PROBE_OK;
}

// Source pads, streaming thread: bytes and buffers received from the network or disk.
GstPadProbeReturn onSourcePad(GstPad*, GstPadProbeInfo* info, gpointer data)
{
    StreamCounters& counters = countersOf(data);
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
    if (GST_PAD_DIRECTION(pad) != GST_PAD_SRC)
        return;
    gst_pad_add_probe(pad, static_cast<GstPadProbeType>(GST_PAD_PROBE_TYPE_BUFFER | GST_PAD_PROBE_TYPE_BUFFER_LIST),
                      onSourcePad, holdCounters(counters), releaseCounters);
}

void onSourcePadAdded(GstElement*, GstPad* pad, gpointer data)
{
    probeSourcePad(pad, *static_cast<std::shared_ptr<StreamCounters>*>(data));
}

// playbin3's source-setup, on whichever thread creates the source: remember the
// source, bound its network waits, and count what it delivers.
void onSourceSetup(GstElement*, GstElement* source, gpointer data)
{
    const auto& counters = *static_cast<std::shared_ptr<StreamCounters>*>(data);
    counters->setSource(source);
    const std::string factory = factoryName(source);
    if (factory == "souphttpsrc") {
        g_object_set(source, "timeout", kHttpTimeoutS, nullptr);
    } else if (factory == "rtspsrc") {
        g_object_set(source, "tcp-timeout", kRtspTcpTimeoutUs, nullptr);
    } else if (factory == "srtsrc") {
        g_object_set(source, "poll-timeout", kSrtPollTimeoutMs, nullptr);
        SrtDeliveryGaps::watch(source, counters);
    } else if (factory == "ristsrc") {
        RistPacketCounts::watch(source);
    }
    BroadcastSource::setUp(source);
    if (PadPtr pad {gst_element_get_static_pad(source, "src")})
        probeSourcePad(pad.get(), counters);
    if (!GST_IS_BIN(source) || factory == "rtspsrc" || factory == "rtpsrc"
        || factory == WhepSource::kFactoryName) {
        g_signal_connect_data(source, "pad-added", G_CALLBACK(onSourcePadAdded), holdCounters(counters),
                              releaseCountersClosure, static_cast<GConnectFlags>(0));
    }
}

// The adaptive demuxer's input, streaming thread: the manifest, kept for its variants.
GstPadProbeReturn onManifestPad(GstPad*, GstPadProbeInfo* info, gpointer data)
{
    if (info->type & GST_PAD_PROBE_TYPE_BUFFER) {
        GstMapInfo map;
        GstBuffer* buffer = GST_PAD_PROBE_INFO_BUFFER(info);
        if (gst_buffer_map(buffer, &map, GST_MAP_READ)) {
            countersOf(data).manifestData(reinterpret_cast<const char*>(map.data), map.size);
            gst_buffer_unmap(buffer, &map);
        }
    }
    return GST_PAD_PROBE_OK;
}

StreamCounters::Adaptive adaptiveKind(const std::string& factory)
{
    if (factory.rfind("hlsdemux", 0) == 0)
        return StreamCounters::Adaptive::Hls;
    if (factory.rfind("dashdemux", 0) == 0)
        return StreamCounters::Adaptive::Dash;
    if (factory.rfind("mssdemux", 0) == 0)
        return StreamCounters::Adaptive::Mss;
    return StreamCounters::Adaptive::None;
}

std::string locationOf(GstElement* element)
{
    if (!element || !g_object_class_find_property(G_OBJECT_GET_CLASS(element), "location"))
        return {};
    gchar* raw = nullptr;
    g_object_get(element, "location", &raw, nullptr);
    const CharPtr location(raw);
    return location ? location.get() : "";
}

// A manifest the demuxer reads whole; far beyond any real one.
constexpr std::uint64_t kMaxManifestBytes = 16 << 20;

// Whether the entry's source reads a local file: its manifest may name others.
bool isLocalEntry(const std::shared_ptr<StreamCounters>& counters)
{
    const ElementPtr source(counters->source());
    const std::string location = locationOf(source.get());
    return source && (location.empty() || location[0] == '/' || location.rfind("file:", 0) == 0);
}

// playbin3's element-setup, for elements in any of its bins. Adaptive demuxers
// (HLS, DASH, MSS) fetch their playlists and segments themselves: each stream's
// segment bodies enter a parsebin inside the demuxer, whose input is counted as
// bytes off the network; the demuxer's own requests are watched for segment
// counts and failures; its input, the manifest, is kept for its variants.
void onElementSetup(GstElement*, GstElement* element, gpointer data)
{
    const auto& counters = *static_cast<std::shared_ptr<StreamCounters>*>(data);
    const std::string factory = factoryName(element);
    if (factory == "tsdemux") {
        TransportStreamWatch::watchDemuxer(element, counters);
        return;
    }
    if (const auto kind = adaptiveKind(factory); kind != StreamCounters::Adaptive::None) {
        counters->setAdaptive(kind);
        const ElementPtr source(counters->source());
        AdaptiveRequests::watch(locationOf(source.get()), counters);
        if (PadPtr pad {gst_element_get_static_pad(element, "sink")})
            gst_pad_add_probe(pad.get(), GST_PAD_PROBE_TYPE_BUFFER, onManifestPad, holdCounters(counters),
                              releaseCounters);
        DownloadGuard::watch(element, "sink", {kMaxManifestBytes, "the manifest", !isLocalEntry(counters)});
        return;
    }
    if (factory != "parsebin")
        return;
    const ObjectPtr parent(gst_object_get_parent(GST_OBJECT(element)));
    const bool inDemuxer = parent && GST_IS_ELEMENT(parent.get())
        && adaptiveKind(factoryName(GST_ELEMENT(parent.get()))) != StreamCounters::Adaptive::None;
    if (!inDemuxer)
        return;
    if (PadPtr pad {gst_element_get_static_pad(element, "sink")})
        gst_pad_add_probe(pad.get(),
                          static_cast<GstPadProbeType>(GST_PAD_PROBE_TYPE_BUFFER | GST_PAD_PROBE_TYPE_BUFFER_LIST),
                          onSourcePad, holdCounters(counters), releaseCounters);
}

} // namespace

void StreamProbes::attachToVideoSink(GstElement* sink, const std::shared_ptr<StreamCounters>& counters)
{
    const bool signalsRendering = factoryName(sink) == "fakesink";
    if (signalsRendering) {
        g_object_set(sink, "signal-handoffs", TRUE, nullptr);
        g_signal_connect_data(sink, "handoff", G_CALLBACK(onFrameRendered), holdCounters(counters),
                              releaseCountersClosure, static_cast<GConnectFlags>(0));
    }
    if (PadPtr pad {gst_element_get_static_pad(sink, "sink")}) {
        const auto types = signalsRendering ? GST_PAD_PROBE_TYPE_EVENT_DOWNSTREAM
                                            : static_cast<GstPadProbeType>(GST_PAD_PROBE_TYPE_BUFFER
                                                                           | GST_PAD_PROBE_TYPE_EVENT_DOWNSTREAM);
        gst_pad_add_probe(pad.get(), types, onVideoSinkPad, holdCounters(counters), releaseCounters);
    }
}

void StreamProbes::attachToPlaybin(GstElement* playbin, const std::shared_ptr<StreamCounters>& counters)
{
    g_signal_connect_data(playbin, "source-setup", G_CALLBACK(onSourceSetup), holdCounters(counters),
                          releaseCountersClosure, static_cast<GConnectFlags>(0));
    g_signal_connect_data(playbin, "element-setup", G_CALLBACK(onElementSetup), holdCounters(counters),
                          releaseCountersClosure, static_cast<GConnectFlags>(0));
}

} // namespace zephyrscope

#include "ParsedStreamSinks.h"

#include <memory>
#include <mutex>
#include <string_view>

namespace zephyrscope {

using namespace gsthandles;

namespace {

struct Outputs {
    GstElement* pipeline; // every call comes from inside it, while it lives
    ElementPtr video, audio;
    // Streams are selected and exposed on more than one thread; held until a
    // stream is linked, so two streams never take one sink.
    std::mutex mutex;
};
using OutputsRef = std::shared_ptr<Outputs>;

GstStreamType streamType(GstPad* pad)
{
    if (StreamPtr stream {gst_pad_get_stream(pad)})
        return gst_stream_get_stream_type(stream.get());
    // decodebin3 names its pads after their type.
    const std::string_view name = GST_PAD_NAME(pad);
    if (name.starts_with("video"))
        return GST_STREAM_TYPE_VIDEO;
    if (name.starts_with("audio"))
        return GST_STREAM_TYPE_AUDIO;
    return GST_STREAM_TYPE_UNKNOWN;
}

bool inputLinked(GstElement* sink)
{
    PadPtr input(gst_element_get_static_pad(sink, "sink"));
    return input && gst_pad_is_linked(input.get());
}

// The sink for a new stream of type, with a reference for the caller: the
// stream's own sink while it is free, else a fake sink of its own.
ElementPtr sinkFor(Outputs& outputs, GstStreamType type)
{
    ElementPtr* own = (type & GST_STREAM_TYPE_VIDEO) ? &outputs.video
        : (type & GST_STREAM_TYPE_AUDIO)             ? &outputs.audio
                                                     : nullptr;
    if (own && *own && !inputLinked(own->get()))
        return ElementPtr(GST_ELEMENT(gst_object_ref(own->get())));
    GstElement* extra = gst_element_factory_make("fakesink", nullptr);
    if (!extra)
        return nullptr;
    g_object_set(extra, "sync", FALSE, "async", FALSE, "enable-last-sample", FALSE, nullptr);
    return ElementPtr(GST_ELEMENT(gst_object_ref_sink(extra)));
}

void onPadAdded(GstElement*, GstPad* pad, gpointer data)
{
    Outputs& outputs = **static_cast<OutputsRef*>(data);
    std::lock_guard lock(outputs.mutex);
    ElementPtr sink = sinkFor(outputs, streamType(pad));
    if (!sink) {
        GST_ELEMENT_ERROR(outputs.pipeline, CORE, MISSING_PLUGIN,
                          ("Cannot create element 'fakesink': the GStreamer core elements are missing"), (nullptr));
        return;
    }
    if (!GST_OBJECT_PARENT(sink.get())) {
        gst_bin_add(GST_BIN(outputs.pipeline), sink.get());
        // In the pipeline's state before the first unit reaches it.
        gst_element_sync_state_with_parent(sink.get());
    }
    PadPtr input(gst_element_get_static_pad(sink.get(), "sink"));
    if (const GstPadLinkReturn linked = gst_pad_link(pad, input.get()); linked != GST_PAD_LINK_OK)
        GST_ELEMENT_ERROR(outputs.pipeline, CORE, PAD,
                          ("Cannot link stream '%s' to its sink: %s", GST_PAD_NAME(pad), gst_pad_link_get_name(linked)),
                          (nullptr));
}

// A sink that waits for a stream that will not come holds the pipeline out of
// paused and playing for ever: it leaves.
void dropUnless(Outputs& outputs, const ElementPtr& sink, bool selected)
{
    if (!sink || selected || inputLinked(sink.get()) || GST_OBJECT_PARENT(sink.get()) != GST_OBJECT(outputs.pipeline))
        return;
    gst_bin_remove(GST_BIN(outputs.pipeline), sink.get());
    gst_element_set_state(sink.get(), GST_STATE_NULL);
}

// On the thread that posts it, before the pipeline hears it.
void onSyncMessage(GstBus*, GstMessage* message, gpointer data)
{
    if (GST_MESSAGE_TYPE(message) != GST_MESSAGE_STREAMS_SELECTED)
        return;
    guint types = 0;
    for (guint i = 0, n = gst_message_streams_selected_get_size(message); i < n; ++i) {
        StreamPtr stream(gst_message_streams_selected_get_stream(message, i));
        if (stream)
            types |= gst_stream_get_stream_type(stream.get());
    }
    Outputs& outputs = **static_cast<OutputsRef*>(data);
    std::lock_guard lock(outputs.mutex);
    dropUnless(outputs, outputs.video, types & GST_STREAM_TYPE_VIDEO);
    dropUnless(outputs, outputs.audio, types & GST_STREAM_TYPE_AUDIO);
}

void releaseOutputs(gpointer data, GClosure*)
{
    delete static_cast<OutputsRef*>(data);
}

} // namespace

void ParsedStreamSinks::attach(GstElement* pipeline, GstElement* uriDecodeBin, ElementPtr videoSink,
                               ElementPtr audioSink)
{
    auto outputs = std::make_shared<Outputs>(pipeline, std::move(videoSink), std::move(audioSink));
    for (const ElementPtr* sink : {&outputs->video, &outputs->audio})
        if (*sink)
            gst_bin_add(GST_BIN(pipeline), sink->get());
    g_signal_connect_data(uriDecodeBin, "pad-added", G_CALLBACK(onPadAdded), new OutputsRef(outputs), releaseOutputs,
                          static_cast<GConnectFlags>(0));
    BusPtr bus(gst_element_get_bus(pipeline));
    gst_bus_enable_sync_message_emission(bus.get());
    g_signal_connect_data(bus.get(), "sync-message", G_CALLBACK(onSyncMessage), new OutputsRef(outputs),
                          releaseOutputs, static_cast<GConnectFlags>(0));
}

} // namespace zephyrscope

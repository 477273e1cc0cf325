#include "ParsedPipeline.h"

namespace zephyrscope {

using namespace gsthandles;

namespace {

// The entry's two stream sinks; the pipeline holds them for as long as its
// elements can signal.
struct StreamSinks {
    GstElement* video = nullptr;
    GstElement* audio = nullptr;
};

void releaseSinks(gpointer data, GClosure*)
{
    delete static_cast<StreamSinks*>(data);
}

bool carries(GstPad* pad, const char* mediaPrefix)
{
    CapsPtr caps(gst_pad_get_current_caps(pad));
    if (!caps)
        caps.reset(gst_pad_query_caps(pad, nullptr));
    if (!caps || gst_caps_is_any(caps.get()) || gst_caps_get_size(caps.get()) == 0)
        return false;
    return g_str_has_prefix(gst_structure_get_name(gst_caps_get_structure(caps.get(), 0)), mediaPrefix);
}

// Fails when the sink already has its stream (a second video or audio stream).
bool linkTo(GstPad* pad, GstElement* sink)
{
    PadPtr sinkPad(sink ? gst_element_get_static_pad(sink, "sink") : nullptr);
    return sinkPad && gst_pad_link(pad, sinkPad.get()) == GST_PAD_LINK_OK;
}

// A sink of its own for a stream nothing measures, which drops it as it comes.
GstElement* addDroppingSink(GstElement* pipeline)
{
    GstElement* sink = gst_element_factory_make("fakesink", nullptr);
    if (!sink)
        return nullptr;
    g_object_set(sink, "sync", FALSE, "async", FALSE, "enable-last-sample", FALSE, nullptr);
    gst_bin_add(GST_BIN(pipeline), sink);
    gst_element_sync_state_with_parent(sink);
    return sink;
}

void postError(GstElement* element, const char* what)
{
    GError* error = g_error_new(GST_CORE_ERROR, GST_CORE_ERROR_MISSING_PLUGIN, "%s", what);
    gst_element_post_message(element, gst_message_new_error(GST_OBJECT(element), error, what));
    g_error_free(error);
}

// parsebin's pad-added, on the streaming thread that found the stream.
void onStreamFound(GstElement* parser, GstPad* pad, gpointer data)
{
    const auto& sinks = *static_cast<const StreamSinks*>(data);
    GstElement* chosen = carries(pad, "video/") ? sinks.video : carries(pad, "audio/") ? sinks.audio : nullptr;
    if (chosen && linkTo(pad, chosen))
        return;
    ElementPtr pipeline(GST_ELEMENT(gst_element_get_parent(parser)));
    if (GstElement* sink = pipeline ? addDroppingSink(pipeline.get()) : nullptr)
        linkTo(pad, sink);
}

// parsebin's no-more-pads: its streams, said as decodebin3 says the streams it
// selected (the entry learns from it that no picture is to come).
void onStreamsFound(GstElement* parser, gpointer)
{
    GstStreamCollection* collection = gst_stream_collection_new(nullptr);
    GstMessage* message = gst_message_new_streams_selected(GST_OBJECT(parser), collection);
    GstIterator* it = gst_element_iterate_src_pads(parser);
    GValue item = G_VALUE_INIT;
    while (gst_iterator_next(it, &item) == GST_ITERATOR_OK) {
        if (StreamPtr stream {gst_pad_get_stream(GST_PAD(g_value_get_object(&item)))})
            gst_message_streams_selected_add(message, stream.get());
        g_value_reset(&item);
    }
    g_value_unset(&item);
    gst_iterator_free(it);
    gst_object_unref(collection);
    gst_element_post_message(parser, message);
}

// urisourcebin's pad-added: a parsebin for what the pad delivers.
void onSourcePad(GstElement* sourceBin, GstPad* pad, gpointer data)
{
    ElementPtr pipeline(GST_ELEMENT(gst_element_get_parent(sourceBin)));
    GstElement* parser = pipeline ? gst_element_factory_make("parsebin", nullptr) : nullptr;
    if (!parser) {
        postError(sourceBin, "Cannot create element 'parsebin': the GStreamer playback plugin is missing");
        return;
    }
    g_signal_connect_data(parser, "pad-added", G_CALLBACK(onStreamFound),
                          new StreamSinks(*static_cast<const StreamSinks*>(data)), releaseSinks,
                          static_cast<GConnectFlags>(0));
    g_signal_connect(parser, "no-more-pads", G_CALLBACK(onStreamsFound), nullptr);
    gst_bin_add(GST_BIN(pipeline.get()), parser);
    gst_element_sync_state_with_parent(parser);
    if (!linkTo(pad, parser))
        postError(sourceBin, "Cannot link the source to its parsers");
}

} // namespace

PipelinePtr ParsedPipeline::build(const std::string& uri, GstElement* videoSink, GstElement* audioSink,
                                  GstElement*& sourceBin, std::string& error)
{
    GstElement* source = gst_element_factory_make("urisourcebin", nullptr);
    if (!source) {
        error = "Cannot create element 'urisourcebin': the GStreamer playback plugin is missing";
        return nullptr;
    }
    PipelinePtr pipeline(GST_ELEMENT(gst_object_ref_sink(gst_pipeline_new(nullptr))));
    g_object_set(source, "uri", uri.c_str(), nullptr);
    gst_bin_add(GST_BIN(pipeline.get()), source);
    for (GstElement* sink : {videoSink, audioSink}) {
        if (!sink)
            continue;
        g_object_set(sink, "async", FALSE, nullptr);
        gst_bin_add(GST_BIN(pipeline.get()), sink);
    }
    g_signal_connect_data(source, "pad-added", G_CALLBACK(onSourcePad), new StreamSinks {videoSink, audioSink},
                          releaseSinks, static_cast<GConnectFlags>(0));
    sourceBin = source;
    return pipeline;
}

} // namespace zephyrscope

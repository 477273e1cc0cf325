#include "ParsedPipeline.h"

#include <atomic>

namespace zephyrscope {

using namespace gsthandles;

namespace {

bool carries(GstPad* pad, const char* mediaPrefix)
{
    CapsPtr caps(gst_pad_get_current_caps(pad));
    if (!caps)
        caps.reset(gst_pad_query_caps(pad, nullptr));
    if (!caps || gst_caps_is_any(caps.get()) || gst_caps_get_size(caps.get()) == 0)
        return false;
    return g_str_has_prefix(gst_structure_get_name(gst_caps_get_structure(caps.get(), 0)), mediaPrefix);
}

// The entry's two stream sinks, each put in the pipeline when its stream
// comes: a sink in it whose stream never comes would never end, and the
// pipeline would not end with the streams. Owned by the pipeline.
struct StreamSinks {
    ElementPtr video, audio;
    std::atomic<bool> videoTaken {false}, audioTaken {false};
};

constexpr const char* kSinksKey = "zephyrscope-stream-sinks";

// The stream sink for pad's stream, in the pipeline now; nullptr when there is
// none or it has its stream already (a second video or audio stream).
GstElement* takeSink(GstElement* pipeline, GstPad* pad)
{
    auto* sinks = static_cast<StreamSinks*>(g_object_get_data(G_OBJECT(pipeline), kSinksKey));
    if (!sinks)
        return nullptr;
    const bool video = carries(pad, "video/");
    if (!video && !carries(pad, "audio/"))
        return nullptr;
    GstElement* sink = video ? sinks->video.get() : sinks->audio.get();
    std::atomic<bool>& taken = video ? sinks->videoTaken : sinks->audioTaken;
    if (!sink || taken.exchange(true))
        return nullptr;
    gst_bin_add(GST_BIN(pipeline), sink);
    gst_element_sync_state_with_parent(sink);
    return sink;
}

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
void onStreamFound(GstElement* parser, GstPad* pad, gpointer)
{
    ElementPtr pipeline(GST_ELEMENT(gst_element_get_parent(parser)));
    if (!pipeline)
        return;
    GstElement* sink = takeSink(pipeline.get(), pad);
    if (!sink)
        sink = addDroppingSink(pipeline.get());
    if (sink)
        linkTo(pad, sink);
}

// parsebin's no-more-pads: its streams, said as decodebin3 says the streams it
// selected (the entry learns from it that no picture is to come).
void onStreamsFound(GstElement* parser, gpointer)
{
    const ObjectPtr collection(GST_OBJECT(gst_stream_collection_new(nullptr)));
    GstMessage* message = gst_message_new_streams_selected(GST_OBJECT(parser), GST_STREAM_COLLECTION(collection.get()));
    forEachObject<GstPad>(gst_element_iterate_src_pads(parser), [&](GstPad* pad) {
        if (StreamPtr stream {gst_pad_get_stream(pad)})
            gst_message_streams_selected_add(message, stream.get());
    });
    gst_element_post_message(parser, message);
}

// urisourcebin's pad-added: a parsebin for what the pad delivers.
void onSourcePad(GstElement* sourceBin, GstPad* pad, gpointer)
{
    ElementPtr pipeline(GST_ELEMENT(gst_element_get_parent(sourceBin)));
    GstElement* parser = pipeline ? gst_element_factory_make("parsebin", nullptr) : nullptr;
    if (!parser) {
        postError(sourceBin, "Cannot create element 'parsebin': the GStreamer playback plugin is missing");
        return;
    }
    g_signal_connect(parser, "pad-added", G_CALLBACK(onStreamFound), nullptr);
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
    auto* sinks = new StreamSinks;
    for (GstElement* sink : {videoSink, audioSink}) {
        if (sink)
            g_object_set(sink, "async", FALSE, nullptr);
    }
    sinks->video.reset(videoSink ? GST_ELEMENT(gst_object_ref(videoSink)) : nullptr);
    sinks->audio.reset(audioSink ? GST_ELEMENT(gst_object_ref(audioSink)) : nullptr);
    g_object_set_data_full(G_OBJECT(pipeline.get()), kSinksKey, sinks,
                           [](gpointer data) { delete static_cast<StreamSinks*>(data); });
    g_signal_connect(source, "pad-added", G_CALLBACK(onSourcePad), nullptr);
    sourceBin = source;
    return pipeline;
}

} // namespace zephyrscope

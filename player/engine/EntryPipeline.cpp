#include "EntryPipeline.h"

#include "ContentProbes.h"
#include "DecoderThreads.h"
#include "FactoryName.h"
#include "GstStructureFields.h"
#include "ParsedPipeline.h"
#include "PlayerProtocols.h"
#include "PresentationTimes.h"
#include "SinkFactory.h"
#include "StreamProbes.h"
#include "TlsTrust.h"

namespace zephyrscope {

using namespace gsthandles;

namespace {

// playbin3's source-setup: an HTTPS source trusts the CA file it was given,
// and the source's protocol takes what concerns it of the program's settings.
void onSourceSetup(GstElement*, GstElement* source, gpointer settings)
{
    const auto& given = heldState<const SourceSettings>(settings);
    TlsTrust::applyTo(source, given.caFile);
    const PlayerProtocol* protocol = protocolOfSource(playerProtocols(), factoryName(source));
    if (protocol && protocol->configureSource)
        protocol->configureSource(source, given);
}

bool isFakeSink(GstElement* sink)
{
    return factoryName(sink) == "fakesink";
}

// playbin3's GstPlayFlags (not in a public header).
constexpr guint kPlayVideo = 1 << 0, kPlayAudio = 1 << 1, kPlayNativeAudio = 1 << 5, kPlayNativeVideo = 1 << 6,
                kPlayBuffering = 1 << 8, kPlayDeinterlace = 1 << 9;

// Video and audio; buffering (what Buffering and BufCount count); and the
// deinterlacer, which gives an interlaced stream a frame per field and so sets
// how many frames are counted. A fake sink takes any format, so the converters
// and scaler playbin3 puts before a real sink would only pass frames through:
// they are left out there. Text, visualisations, software volume and colour
// balance are never used.
guint playFlags(GstElement* videoSink, GstElement* audioSink)
{
    guint flags = kPlayVideo | kPlayAudio | kPlayBuffering | kPlayDeinterlace;
    if (isFakeSink(videoSink))
        flags |= kPlayNativeVideo;
    if (isFakeSink(audioSink))
        flags |= kPlayNativeAudio;
    return flags;
}

// Video, audio and buffering, each stream as its parser leaves it: the fake
// sinks take any format, so nothing is converted either.
constexpr guint kParsedPlayFlags = kPlayVideo | kPlayAudio | kPlayBuffering | kPlayNativeVideo | kPlayNativeAudio;

// playbin3 has no property for where decoding stops; its uridecodebin3, made
// with it, has: stopping at any caps, decodebin3 hands on what its parsebin
// gives (parsed streams) and plugs no decoder.
bool stopAtParsers(GstElement* playbin)
{
    bool found = false;
    forEachObject<GstElement>(gst_bin_iterate_elements(GST_BIN(playbin)), [&](GstElement* child) {
        if (factoryName(child) == "uridecodebin3") {
            CapsPtr any(gst_caps_new_any());
            g_object_set(child, "caps", any.get(), nullptr);
            found = true;
        }
    });
    return found;
}

// Whether uri's protocol lets a transport-only entry skip playbin3, as its descriptor says.
bool parsedWithoutPlaybin(const std::string& uri)
{
    CharPtr scheme(gst_uri_get_protocol(uri.c_str()));
    const PlayerProtocol* protocol = scheme ? playerProtocolForScheme(scheme.get()) : nullptr;
    return protocol && protocol->ownParsedPipeline;
}

// playbin3 for uri, its buffering and bandwidth set; for a transport-only
// entry, stopping at the parsers.
PipelinePtr makePlaybin(const std::string& uri, const EntryPipeline::Settings& settings, std::string& error)
{
    GstElement* made = gst_element_factory_make("playbin3", nullptr);
    if (!made) {
        error = "Cannot create element 'playbin3': the GStreamer playback plugin is missing";
        return nullptr;
    }
    PipelinePtr playbin(GST_ELEMENT(gst_object_ref_sink(made)));
    g_object_set(made, "uri", uri.c_str(), "buffer-duration",
                 static_cast<gint64>(settings.bufferingTimeMs) * GST_MSECOND, nullptr);
    if (settings.maxBandwidth > 0)
        g_object_set(made, "connection-speed", static_cast<guint64>(settings.maxBandwidth / 1000), nullptr);
    if (settings.transportOnly && !stopAtParsers(made)) {
        error = "Cannot play the transport alone: playbin3 has no uridecodebin3 to stop at the parsers";
        return nullptr;
    }
    return playbin;
}

void setSinks(GstElement* playbin, GstElement* videoSink, GstElement* audioSink, bool parsedOnly)
{
    g_object_set(playbin, "video-sink", videoSink, nullptr);
    if (audioSink)
        g_object_set(playbin, "audio-sink", audioSink, nullptr);
    g_object_set(playbin, "flags", parsedOnly ? kParsedPlayFlags : playFlags(videoSink, audioSink), nullptr);
    if (!parsedOnly)
        DecoderThreads::attach(playbin);
}

} // namespace

EntryPipeline::EntryPipeline(std::shared_ptr<StreamCounters> counters)
    : m_counters(std::move(counters))
{
}

EntryPipeline::~EntryPipeline()
{
    // The counters hold the source, and the source's probes and signal handlers
    // hold the counters: without this the pair, and all the source holds, would
    // outlive the pipeline, once per entry.
    m_counters->setSource(nullptr);
    m_videoSink.reset();
    m_pipeline.reset();
}

std::unique_ptr<EntryPipeline> EntryPipeline::build(const std::string& uri, const Settings& settings,
                                                    SinkFactory& sinks, std::shared_ptr<StreamCounters> counters,
                                                    std::string& error)
{
    const bool parsedOnly = settings.transportOnly;
    const bool ownPipeline = parsedOnly && parsedWithoutPlaybin(uri);
    PipelinePtr playbin = ownPipeline ? nullptr : makePlaybin(uri, settings, error);
    if (!ownPipeline && !playbin)
        return nullptr;
    std::unique_ptr<EntryPipeline> pipeline(new EntryPipeline(std::move(counters)));
    pipeline->m_counters->setTransportOnly(parsedOnly);
    ElementPtr videoSink = parsedOnly ? sinks.makeStreamSink() : sinks.makeVideoSink(settings.videoWindow);
    if (!videoSink) {
        error = "Cannot create element 'fakesink': the GStreamer core elements are missing";
        return nullptr;
    }
    ElementPtr audioSink = parsedOnly ? sinks.makeStreamSink() : sinks.makeAudioSink();
    GstElement* sourceBin = nullptr; // the element whose source-setup hands over the entry's source
    if (ownPipeline) {
        pipeline->m_pipeline = ParsedPipeline::build(uri, videoSink.get(), audioSink.get(), sourceBin, error);
        if (!pipeline->m_pipeline)
            return nullptr;
        StreamProbes::attachToSourceBin(pipeline->m_pipeline.get(), sourceBin, pipeline->m_counters,
                                        playerProtocols());
    } else {
        sourceBin = playbin.get();
        setSinks(sourceBin, videoSink.get(), audioSink.get(), parsedOnly);
        pipeline->m_pipeline = std::move(playbin);
        StreamProbes::attachToPlaybin(sourceBin, pipeline->m_counters, playerProtocols());
    }
    StreamProbes::attachToVideoSink(videoSink.get(), pipeline->m_counters);
    pipeline->m_counters->content().configure(settings.content);
    // Parsed streams have no picture or sound to look at: their content figures stay null.
    if (!parsedOnly)
        ContentProbes::attach(videoSink.get(), audioSink.get(), pipeline->m_counters);
    PresentationTimes::attach(videoSink.get(), {pipeline->m_counters, &pipeline->m_counters->presentation()});
    pipeline->m_videoSink = std::move(videoSink);
    // The connection owns its copy of the settings and deletes it with the element.
    connectHolding(sourceBin, "source-setup", G_CALLBACK(onSourceSetup),
                   std::make_shared<const SourceSettings>(settings.source));
    return pipeline;
}

void EntryPipeline::start()
{
    m_requested = GST_STATE_PAUSED;
    if (gst_element_set_state(m_pipeline.get(), GST_STATE_PAUSED) == GST_STATE_CHANGE_NO_PREROLL) {
        m_live = true;
        requestState(GST_STATE_PLAYING);
    }
}

void EntryPipeline::requestState(GstState state)
{
    if (m_requested == state)
        return;
    m_requested = state;
    gst_element_set_state(m_pipeline.get(), state);
}

bool EntryPipeline::takeStateChange(GstMessage* message)
{
    if (GST_MESSAGE_SRC(message) != GST_OBJECT(m_pipeline.get()))
        return false;
    GstState oldState, newState, pending;
    gst_message_parse_state_changed(message, &oldState, &newState, &pending);
    m_current = newState;
    return true;
}

void EntryPipeline::recoverClock()
{
    if (m_requested == GST_STATE_PLAYING) {
        gst_element_set_state(m_pipeline.get(), GST_STATE_PAUSED);
        gst_element_set_state(m_pipeline.get(), GST_STATE_PLAYING);
    }
}

double EntryPipeline::durationS() const
{
    gint64 duration = 0;
    if (gst_element_query_duration(m_pipeline.get(), GST_FORMAT_TIME, &duration) && duration > 0)
        return static_cast<double>(duration) / GST_SECOND;
    return 0.0;
}

std::int64_t EntryPipeline::positionUs() const
{
    gint64 position = 0;
    if (gst_element_query_position(m_pipeline.get(), GST_FORMAT_TIME, &position) && position >= 0)
        return position / GST_USECOND;
    return -1;
}

void EntryPipeline::abandon()
{
    // Kept, playing, for the rest of the process: bringing a pipeline down in
    // this state crashes inside playbin3 (1.22), in 6 runs of 6. Upstream: no fix identified as of 1.28.6.
    static_cast<void>(m_pipeline.release());
}

std::int64_t EntryPipeline::sourceSizeBytes() const
{
    ElementPtr source(m_counters->source());
    gint64 bytes = 0;
    if (source && gst_element_query_duration(source.get(), GST_FORMAT_BYTES, &bytes) && bytes > 0)
        return bytes;
    return 0;
}

std::uint64_t EntryPipeline::renderedFrames() const
{
    const StructurePtr stats = structureProperty(m_videoSink.get(), "stats");
    return stats ? StructureUint64(stats.get(), "rendered") : 0;
}

void EntryPipeline::drawGraph(const char* name) const
{
    GST_DEBUG_BIN_TO_DOT_FILE_WITH_TS(GST_BIN(m_pipeline.get()), GST_DEBUG_GRAPH_SHOW_ALL, name);
}

} // namespace zephyrscope

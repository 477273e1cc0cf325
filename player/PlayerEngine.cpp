#include "PlayerEngine.h"

#include "ConnectionProbe.h"
#include "GstStructureFields.h"
#include "LocalSource.h"
#include "MediaUrl.h"
#include "PlayState.h"
#include "RemotePlaylistFetch.h"
#include "StreamProbes.h"

#include <gst/pbutils/missing-plugins.h>

#include <glib/gstdio.h>

#include <cmath>

namespace zephyrscope {

using namespace gsthandles;

namespace {

constexpr guint kStatsPeriodMs = 100;            // history resolution of bit rate and reception
constexpr guint kOpenTimeoutS = 30;              // an entry that cannot open in this time is skipped
// A local file opens in well under a second even on a loaded machine. playbin3 in
// GStreamer 1.22 now and then leaves one stuck before its first picture (decodebin3
// keeps its input blocked, unlinked, for ever); a fresh pipeline opens it.
constexpr guint kLocalOpenRetryS = 5;
constexpr std::int32_t kOpenStateMediaOpening = 12;
// One tick's reads come within this time, with no main-loop event between them.
constexpr std::int64_t kNetworkCacheUs = 2000;

std::string oneLine(std::string text)
{
    for (char& c : text) {
        if (c == '\n' || c == '\r')
            c = ' ';
    }
    return text;
}

std::string readText(const std::string& path)
{
    return ReadLocalText(path);
}

} // namespace

PlayerEngine::PlayerEngine() = default;

PlayerEngine::~PlayerEngine()
{
    m_fetch.reset();
    teardown();
}

// ---- Commands -------------------------------------------------------------

void PlayerEngine::putURL(const std::string& url)
{
    m_fetch.reset();
    m_fetching = false;
    teardown();
    m_url = url;
    m_entries.clear();
    m_index = 0;
    m_media = {};
    m_statistics.reset();
    m_counters.reset();
    if (url.empty()) {
        // Nothing to open, as when a script's URL variable is unset: report it like
        // any entry that cannot be opened, so an unattended run does not wait for ever.
        setPlayState(kPlayStateTransitioning);
        m_events.mediaError(url, "no URL was given");
        setPlayState(kPlayStateReady);
        return;
    }

    const std::string uri = MediaUrl::toUri(url);
    const std::string scheme = MediaUrl::scheme(uri);
    const auto kind = MediaUrl::playlistKind(uri);
    if (kind == MediaUrl::PlaylistKind::None) {
        beginList({{uri, ""}});
        return;
    }

    setPlayState(kPlayStateTransitioning);
    if (scheme == "file") {
        if (const std::string problem = LocalSourceProblem(uri); !problem.empty())
            return failList(url, problem);
        if (kind == MediaUrl::PlaylistKind::PlaylistOrHls) {
            CharPtr path(g_filename_from_uri(uri.c_str(), nullptr, nullptr));
            if (path && MediaUrl::looksLikeHls(readText(path.get()))) {
                // GStreamer's HLS demuxers fetch segments over HTTP only; from a
                // file one would wait for nothing until the open times out.
                failList(url, "an HTTP live stream can be played only from an HTTP server");
                return;
            }
        }
        auto expanded = PlaylistExpander::expand(uri, uri);
        if (!expanded.error.empty())
            failList(url, expanded.error);
        else
            beginList(std::move(expanded.entries));
        return;
    }

    // A remote list is fetched first and parsed with its own URL as the base.
    m_fetching = true;
    m_fetch = std::make_unique<RemotePlaylistFetch>(uri, [this, url, uri, kind](RemotePlaylistFetch::Result result) {
        m_fetching = false;
        if (!result.error.empty()) {
            failList(url, result.error);
            return;
        }
        if (kind == MediaUrl::PlaylistKind::PlaylistOrHls && MediaUrl::looksLikeHls(readText(result.filePath))) {
            g_unlink(result.filePath.c_str());
            beginList({{uri, ""}});
            return;
        }
        CharPtr fileUri(g_filename_to_uri(result.filePath.c_str(), nullptr, nullptr));
        auto expanded = PlaylistExpander::expand(fileUri ? fileUri.get() : "", uri);
        g_unlink(result.filePath.c_str());
        if (!expanded.error.empty())
            failList(url, expanded.error);
        else
            beginList(std::move(expanded.entries));
    });
    m_fetch->start();
}

void PlayerEngine::play()
{
    if (m_pipeline || m_fetching || m_probe)
        return; // already opening or playing
    if (m_playState == kPlayStateStopped && m_index < m_entries.size()) {
        // The same clip again: its open is reported only if it was not reported yet.
        startEntry(m_index, !m_entryOpened);
    } else if (!m_entries.empty()) {
        m_media = {};
        startEntry(0, true);
    } else if (!m_url.empty()) {
        putURL(m_url);
    }
}

void PlayerEngine::stop()
{
    // An entry that has failed is reported as failed, before anything stops.
    if (m_probe)
        m_probe->finishNow();
    if (m_fetching) {
        m_fetch.reset();
        m_fetching = false;
        setPlayState(kPlayStateStopped);
        return;
    }
    if (!m_pipeline)
        return;
    pollStatistics();
    teardown();
    setPlayState(kPlayStateStopped);
}

// ---- Entries ---------------------------------------------------------------

void PlayerEngine::beginList(std::vector<PlaylistEntry> entries)
{
    m_entries = std::move(entries);
    startEntry(0, true);
}

void PlayerEngine::startEntry(std::size_t index, bool reportOpen, bool retry)
{
    teardown();
    m_index = index;
    m_reportOpen = reportOpen;
    if (reportOpen) {
        m_media = {};
        m_entryOpened = false;
    }
    m_statistics.reset();
    m_counters = std::make_shared<StreamCounters>();
    m_live = false;
    m_prerolled = false;
    m_openDone = false;
    m_buffering = false;
    m_streamsKnown = false;
    m_hasVideo = false;
    m_missingPlugin.clear();
    m_sourceLost.clear();
    m_titleTag.clear();
    m_current = GST_STATE_NULL;
    m_requested = GST_STATE_NULL;

    setPlayState(kPlayStateTransitioning);
    if (reportOpen)
        setOpenState(kOpenStateMediaOpening);

    std::string error = LocalSourceProblem(m_entries[index].uri);
    if (!error.empty() || !buildPipeline(m_entries[index].uri, error)) {
        failEntry(error);
        return;
    }

    m_openTimeout.reset(g_timeout_source_new_seconds(kOpenTimeoutS));
    g_source_set_callback(m_openTimeout.get(), &PlayerEngine::onOpenTimeout, this, nullptr);
    g_source_attach(m_openTimeout.get(), nullptr);
    if (!retry && MediaUrl::scheme(m_entries[index].uri) == "file") {
        m_openRetry.reset(g_timeout_source_new_seconds(kLocalOpenRetryS));
        g_source_set_callback(m_openRetry.get(), &PlayerEngine::onOpenRetry, this, nullptr);
        g_source_attach(m_openRetry.get(), nullptr);
    }
    if (!m_statsTimer) {
        m_statsTimer.reset(g_timeout_source_new(kStatsPeriodMs));
        g_source_set_callback(m_statsTimer.get(), &PlayerEngine::onStatsTimer, this, nullptr);
        g_source_attach(m_statsTimer.get(), nullptr);
    }

    m_requested = GST_STATE_PAUSED;
    // A live source cannot preroll; it is told so here and nowhere else, and then
    // opens while it plays.
    if (gst_element_set_state(m_pipeline.get(), GST_STATE_PAUSED) == GST_STATE_CHANGE_NO_PREROLL) {
        m_live = true;
        requestState(GST_STATE_PLAYING);
    }
}

bool PlayerEngine::buildPipeline(const std::string& uri, std::string& error)
{
    GstElement* playbin = gst_element_factory_make("playbin3", nullptr);
    if (!playbin) {
        error = "Cannot create element 'playbin3': the GStreamer playback plugin is missing";
        return false;
    }
    m_pipeline.reset(GST_ELEMENT(gst_object_ref_sink(playbin)));
    g_object_set(playbin, "uri", uri.c_str(), "buffer-duration",
                 static_cast<gint64>(m_bufferingTimeMs) * GST_MSECOND, nullptr);
    if (m_maxBandwidth > 0)
        g_object_set(playbin, "connection-speed", static_cast<guint64>(m_maxBandwidth / 1000), nullptr);

    ElementPtr videoSink = m_sinks.makeVideoSink(m_videoWindow);
    if (!videoSink) {
        error = "Cannot create element 'fakesink': the GStreamer core elements are missing";
        return false;
    }
    g_object_set(playbin, "video-sink", videoSink.get(), nullptr);
    if (ElementPtr audioSink = m_sinks.makeAudioSink())
        g_object_set(playbin, "audio-sink", audioSink.get(), nullptr);
    StreamProbes::attachToVideoSink(videoSink.get(), m_counters);
    m_videoSink = std::move(videoSink);
    StreamProbes::attachToPlaybin(playbin, m_counters);

    BusPtr bus(gst_element_get_bus(playbin));
    m_busWatch.reset(gst_bus_create_watch(bus.get()));
    g_source_set_callback(m_busWatch.get(), G_SOURCE_FUNC(&PlayerEngine::onBusMessage), this, nullptr);
    // nullptr: the default context, which the program's main loop runs.
    g_source_attach(m_busWatch.get(), nullptr);
    return true;
}

void PlayerEngine::teardown()
{
    m_probe.reset();
    m_networkCache.reset();
    // The counters hold the source, and the source's probes and signal handlers
    // hold the counters: without this the pair, and all the source holds, would
    // outlive the pipeline, once per entry.
    if (m_counters)
        m_counters->setSource(nullptr);
    m_openTimeout.reset();
    m_openRetry.reset();
    m_busWatch.reset();
    m_videoSink.reset();
    m_pipeline.reset();
    m_statsTimer.reset();
    m_current = GST_STATE_NULL;
    m_requested = GST_STATE_NULL;
}

void PlayerEngine::failEntry(const std::string& reason)
{
    std::string text = reason;
    if (!m_missingPlugin.empty())
        text += " (missing plugin: " + m_missingPlugin + ")";
    m_events.mediaError(currentEntryUrl(), oneLine(text));
    pollStatistics();
    teardown();
    nextOrReady();
}

void PlayerEngine::failList(const std::string& url, const std::string& reason)
{
    m_entries.clear();
    m_events.mediaError(url, oneLine("Cannot open playlist '" + url + "': " + reason));
    setPlayState(kPlayStateReady);
}

void PlayerEngine::entryEnded()
{
    pollStatistics();
    teardown();
    setPlayState(kPlayStateMediaEnded);
    nextOrReady();
}

void PlayerEngine::nextOrReady()
{
    if (m_index + 1 < m_entries.size()) {
        startEntry(m_index + 1, true);
        return;
    }
    setPlayState(kPlayStateReady);
}

std::string PlayerEngine::currentEntryUrl() const
{
    if (m_entries.size() == 1 && MediaUrl::playlistKind(MediaUrl::toUri(m_url)) == MediaUrl::PlaylistKind::None)
        return m_url;
    return m_index < m_entries.size() ? m_entries[m_index].uri : m_url;
}

// ---- States ----------------------------------------------------------------

void PlayerEngine::setPlayState(std::int32_t state)
{
    if (state == m_playState)
        return;
    m_playState = state;
    m_events.playStateChanged(state);
}

void PlayerEngine::setOpenState(std::int32_t state)
{
    if (state == m_openState)
        return;
    m_openState = state;
    if (state == kOpenStateMediaOpen)
        m_events.openStateChanged(state, m_media);
    else
        m_events.openStateChanged(state);
}

void PlayerEngine::requestState(GstState state)
{
    if (m_requested == state || !m_pipeline)
        return;
    m_requested = state;
    // The outcome arrives on the bus (state-changed or error), not from here.
    gst_element_set_state(m_pipeline.get(), state);
}

bool PlayerEngine::mediaInfoComplete() const
{
    if (!m_live)
        return m_prerolled;
    if (m_counters && m_counters->videoKnown())
        return true;
    return m_streamsKnown && !m_hasVideo && m_current == GST_STATE_PLAYING;
}

void PlayerEngine::fillMediaInfo()
{
    const PlaylistEntry& entry = m_entries[m_index];
    m_media.sourceURL = currentEntryUrl();
    if (!m_titleTag.empty())
        m_media.name = m_titleTag;
    else if (!entry.title.empty())
        m_media.name = entry.title;
    else
        m_media.name = MediaUrl::baseName(entry.uri);
    gint64 duration = 0;
    m_media.duration = 0.0;
    if (!m_live && gst_element_query_duration(m_pipeline.get(), GST_FORMAT_TIME, &duration) && duration > 0)
        m_media.duration = static_cast<double>(duration) / GST_SECOND;
    const bool video = m_counters && m_counters->videoKnown();
    m_media.width = video ? m_counters->width() : 0;
    m_media.height = video ? m_counters->height() : 0;

    if (ElementPtr source {m_counters ? m_counters->source() : nullptr}) {
        gint64 bytes = 0;
        if (!m_live && gst_element_query_duration(source.get(), GST_FORMAT_BYTES, &bytes) && bytes > 0)
            m_statistics.sourceSize(bytes);
    }
}

// Moves the pipeline toward what the entry needs now and reports the play state
// that follows from what the bus has said so far.
void PlayerEngine::update()
{
    if (!m_pipeline)
        return;
    if (!m_openDone && mediaInfoComplete()) {
        fillMediaInfo();
        m_openDone = true;
        m_openTimeout.reset();
        m_openRetry.reset();
        if (m_reportOpen)
            setOpenState(kOpenStateMediaOpen);
        m_entryOpened = true;
    }
    if (!m_openDone)
        return;
    if (m_buffering && !m_live) {
        requestState(GST_STATE_PAUSED);
        setPlayState(kPlayStateBuffering);
        return;
    }
    requestState(GST_STATE_PLAYING);
    if (m_current != GST_STATE_PLAYING)
        return;
    // A live stream plays from the start, but its picture waits until the
    // jitter buffer has filled its latency: that wait is its buffering.
    const bool waitingForPicture = m_live && m_counters && m_counters->videoKnown() && renderedFrames() == 0;
    if (waitingForPicture) {
        if (m_playState != kPlayStateBuffering) {
            m_statistics.bufferingBegan();
            m_statistics.bufferingPercent(0);
        }
        setPlayState(kPlayStateBuffering);
        return;
    }
    if (m_live && m_playState == kPlayStateBuffering)
        m_statistics.bufferingPercent(100);
    setPlayState(kPlayStatePlaying);
}

// ---- Bus -------------------------------------------------------------------

gboolean PlayerEngine::onBusMessage(GstBus*, GstMessage* message, gpointer self)
{
    // Whatever a handler does, nothing may unwind into GLib.
    try {
        static_cast<PlayerEngine*>(self)->handleMessage(message);
    } catch (const std::exception& e) {
        g_printerr("Cannot handle player message: %s\n", e.what());
    }
    return G_SOURCE_CONTINUE;
}

void PlayerEngine::handleMessage(GstMessage* message)
{
    m_networkCache.reset();
    switch (GST_MESSAGE_TYPE(message)) {
    case GST_MESSAGE_ERROR:
        handleError(message);
        break;
    case GST_MESSAGE_EOS:
        // A live source whose server went away ends its stream too; that end is a failure.
        if (m_live && !m_sourceLost.empty())
            failEntry(m_sourceLost);
        else
            entryEnded();
        break;
    case GST_MESSAGE_WARNING: {
        GError* raw = nullptr;
        gst_message_parse_warning(message, &raw, nullptr);
        ErrorPtr warning(raw);
        if (warning && g_error_matches(warning.get(), GST_RESOURCE_ERROR, GST_RESOURCE_ERROR_READ)) {
            gchar* debug = nullptr;
            gst_message_parse_warning(message, nullptr, &debug);
            CharPtr details(debug);
            m_sourceLost = warning->message;
            if (details) {
                std::string last = details.get();
                const auto newline = last.find_last_of('\n');
                last = newline == std::string::npos ? last : last.substr(newline + 1);
                if (!last.empty())
                    m_sourceLost += " (" + last + ")";
            }
        }
        break;
    }
    case GST_MESSAGE_STATE_CHANGED:
        if (GST_MESSAGE_SRC(message) == GST_OBJECT(m_pipeline.get())) {
            GstState oldState, newState, pending;
            gst_message_parse_state_changed(message, &oldState, &newState, &pending);
            m_current = newState;
            update();
        }
        break;
    case GST_MESSAGE_ASYNC_DONE:
        m_prerolled = true;
        update();
        break;
    case GST_MESSAGE_BUFFERING: {
        if (m_live)
            break; // a live source cannot be paused to fill up
        gint percent = 0;
        gst_message_parse_buffering(message, &percent);
        m_statistics.bufferingPercent(percent);
        if (percent < 100 && !m_buffering) {
            m_buffering = true;
            m_statistics.bufferingBegan();
        } else if (percent >= 100) {
            m_buffering = false;
        }
        update();
        break;
    }
    case GST_MESSAGE_TAG:
        handleTags(message);
        break;
    case GST_MESSAGE_QOS: {
        GstFormat format = GST_FORMAT_UNDEFINED;
        guint64 processed = 0, dropped = 0;
        gst_message_parse_qos_stats(message, &format, &processed, &dropped);
        // Video elements count in buffers (frames); audio ones in samples, which are not frames.
        if (format == GST_FORMAT_BUFFERS && dropped != static_cast<guint64>(-1)) {
            CharPtr path(gst_object_get_path_string(GST_MESSAGE_SRC(message)));
            m_statistics.framesDropped(path ? path.get() : "", dropped);
        }
        break;
    }
    case GST_MESSAGE_ELEMENT:
        if (gst_is_missing_plugin_message(message)) {
            CharPtr description(gst_missing_plugin_message_get_description(message));
            if (description)
                m_missingPlugin = description.get();
        }
        break;
    case GST_MESSAGE_APPLICATION:
        if (gst_message_has_name(message, StreamProbes::kVideoFormatMessage))
            update();
        break;
    case GST_MESSAGE_STREAMS_SELECTED:
        handleStreamsSelected(message);
        break;
    case GST_MESSAGE_DURATION_CHANGED:
        if (m_openDone && !m_live) {
            gint64 duration = 0;
            if (gst_element_query_duration(m_pipeline.get(), GST_FORMAT_TIME, &duration) && duration > 0)
                m_media.duration = static_cast<double>(duration) / GST_SECOND;
        }
        break;
    case GST_MESSAGE_CLOCK_LOST:
        // The usual cure: a new clock is chosen on the way back to playing.
        if (m_requested == GST_STATE_PLAYING) {
            gst_element_set_state(m_pipeline.get(), GST_STATE_PAUSED);
            gst_element_set_state(m_pipeline.get(), GST_STATE_PLAYING);
        }
        break;
    default:
        break;
    }
}

void PlayerEngine::handleError(GstMessage* message)
{
    GError* raw = nullptr;
    gchar* debug = nullptr;
    gst_message_parse_error(message, &raw, &debug);
    ErrorPtr error(raw);
    CharPtr details(debug);
    std::string reason = error && error->message ? error->message : "unknown error";
    if (details)
        g_printerr("Player: %s\n%s\n", reason.c_str(), details.get());
    // Some sources (souphttpsrc with libsoup 3 among them) fail a connection with
    // only the generic flow error; say what the counters know.
    const bool flowError = error && g_error_matches(error.get(), GST_STREAM_ERROR, GST_STREAM_ERROR_FAILED);
    const bool nothingReceived = m_counters && m_counters->bytes() == 0;
    if (flowError) {
        if (details) {
            std::string last = details.get();
            last = last.substr(last.find_last_of('\n') == std::string::npos ? 0 : last.find_last_of('\n') + 1);
            if (!last.empty())
                reason += " (" + last + ")";
        }
        if (nothingReceived)
            reason += ": nothing was received from the source";
    }
    // Neither that nor rtspsrc's "Could not open resource" names the system's reason.
    const bool vague = flowError
        || (error && g_error_matches(error.get(), GST_RESOURCE_ERROR, GST_RESOURCE_ERROR_OPEN_READ_WRITE));
    if (vague && nothingReceived && m_index < m_entries.size()
        && ConnectionProbe::appliesTo(MediaUrl::scheme(m_entries[m_index].uri))) {
        failEntryAfterProbe(reason);
        return;
    }
    failEntry(reason);
}

void PlayerEngine::failEntryAfterProbe(const std::string& reason)
{
    // The pipeline has nothing more to say; the entry waits, Transitioning, for the probe.
    pollStatistics();
    const std::string uri = m_entries[m_index].uri;
    teardown();
    m_probe = std::make_unique<ConnectionProbe>(uri, [this, reason](std::optional<std::string> unreachable) {
        failEntry(unreachable ? *unreachable : reason);
    });
}

void PlayerEngine::handleTags(GstMessage* message)
{
    GstTagList* raw = nullptr;
    gst_message_parse_tag(message, &raw);
    if (!raw)
        return;
    std::unique_ptr<GstTagList, void (*)(GstTagList*)> tags(raw, [](GstTagList* list) { gst_tag_list_unref(list); });
    gchar* title = nullptr;
    if (m_titleTag.empty() && gst_tag_list_get_string(tags.get(), GST_TAG_TITLE, &title)) {
        CharPtr owned(title);
        if (title && *title) {
            m_titleTag = title;
            if (m_openDone && m_reportOpen)
                m_media.name = m_titleTag;
        }
    }
    guint bitrate = 0;
    if (gst_tag_list_get_uint(tags.get(), GST_TAG_BITRATE, &bitrate)
        || gst_tag_list_get_uint(tags.get(), GST_TAG_NOMINAL_BITRATE, &bitrate)) {
        CharPtr path(gst_object_get_path_string(GST_MESSAGE_SRC(message)));
        if (bitrate > 0)
            m_statistics.taggedBitrate(path ? path.get() : "", bitrate);
    }
}

void PlayerEngine::handleStreamsSelected(GstMessage* message)
{
    m_streamsKnown = true;
    m_hasVideo = false;
    const guint count = gst_message_streams_selected_get_size(message);
    for (guint i = 0; i < count; ++i) {
        GstStream* stream = gst_message_streams_selected_get_stream(message, i);
        if (!stream)
            continue;
        if (gst_stream_get_stream_type(stream) & GST_STREAM_TYPE_VIDEO)
            m_hasVideo = true;
        gst_object_unref(stream);
    }
    update();
}

gboolean PlayerEngine::onOpenTimeout(gpointer self)
{
    auto* engine = static_cast<PlayerEngine*>(self);
    // With GST_DEBUG_DUMP_DOT_DIR set, the stuck pipeline is drawn there for a post-mortem.
    if (engine->m_pipeline)
        GST_DEBUG_BIN_TO_DOT_FILE_WITH_TS(GST_BIN(engine->m_pipeline.get()), GST_DEBUG_GRAPH_SHOW_ALL,
                                          "zephyrscope-open-timeout");
    try {
        engine->m_openTimeout.reset();
        engine->failEntry("timed out while opening");
    } catch (const std::exception& e) {
        g_printerr("Cannot skip player entry: %s\n", e.what());
    }
    return G_SOURCE_REMOVE;
}

gboolean PlayerEngine::onOpenRetry(gpointer self)
{
    auto* engine = static_cast<PlayerEngine*>(self);
    try {
        engine->m_openRetry.reset();
        if (!engine->m_openDone && engine->m_index < engine->m_entries.size()) {
            g_printerr("Player: '%s' did not open in %u s; opening it again\n", engine->currentEntryUrl().c_str(),
                       kLocalOpenRetryS);
            engine->startEntry(engine->m_index, engine->m_reportOpen, true);
        }
    } catch (const std::exception& e) {
        g_printerr("Cannot open player entry again: %s\n", e.what());
    }
    return G_SOURCE_REMOVE;
}

// ---- Statistics ------------------------------------------------------------

gboolean PlayerEngine::onStatsTimer(gpointer self)
{
    try {
        static_cast<PlayerEngine*>(self)->pollStatistics();
    } catch (const std::exception& e) {
        g_printerr("Cannot sample player statistics: %s\n", e.what());
    }
    return G_SOURCE_CONTINUE;
}

std::uint64_t PlayerEngine::renderedFrames() const
{
    if (!m_videoSink)
        return 0;
    GstStructure* raw = nullptr;
    g_object_get(m_videoSink.get(), "stats", &raw, nullptr);
    StructurePtr stats(raw);
    return stats ? StructureUint64(stats.get(), "rendered") : 0;
}

void PlayerEngine::pollStatistics()
{
    m_networkCache.reset();
    if (!m_counters || !m_pipeline)
        return;
    // The sink says nothing when its first picture goes out; look for it here.
    if (m_live && m_playState == kPlayStateBuffering)
        update();
    const bool file = m_index < m_entries.size() && MediaUrl::scheme(m_entries[m_index].uri) == "file";
    ElementPtr source(m_counters->source());
    m_statistics.poll(*m_counters, source.get(), !file, m_current == GST_STATE_PLAYING);
}

PlayerEngine::MediaInfo PlayerEngine::media() const
{
    // While an open event is delivered, the entry it announces is the current media.
    if (const MediaInfo* opened = m_events.deliveringMedia())
        return *opened;
    return m_media;
}

PlayerEngine::NetworkInfo PlayerEngine::network() const
{
    const std::int64_t now = g_get_monotonic_time();
    if (m_networkCache && now - m_networkCacheUs < kNetworkCacheUs)
        return *m_networkCache;
    NetworkInfo info;
    info.maxBandwidth = m_maxBandwidth;
    // What the engine itself gave playbin3 as its buffer-duration: asking playbin3
    // back is a property lookup of about 16 us when the caches are cold.
    info.bufferingTime = m_bufferingTimeMs;
    m_statistics.fill(info, m_counters.get(), m_pipeline != nullptr, m_media.duration);
    if (m_index < m_entries.size() && m_counters) {
        const std::string scheme = MediaUrl::scheme(m_entries[m_index].uri);
        const auto overUdp = m_statistics.rtpOverUdp();
        if (scheme == "rtsp" && overUdp)
            info.sourceProtocol = *overUdp ? "RTSPU" : "RTSPT";
        else
            info.sourceProtocol = MediaUrl::protocolForScheme(scheme);
    }
    m_networkCache = info;
    m_networkCacheUs = now;
    return info;
}

} // namespace zephyrscope

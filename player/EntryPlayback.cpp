#include "EntryPlayback.h"

#include "BroadcastSource.h"
#include "BusMessages.h"
#include "ConnectionProbe.h"
#include "LocalSource.h"
#include "MediaUrl.h"
#include "StreamProbes.h"

namespace zephyrscope {

using namespace gsthandles;

namespace {

constexpr guint kStatsPeriodMs = 100; // history resolution of bit rate and reception
// An entry that cannot open in this time is skipped.
constexpr guint kOpenTimeoutS = EntryPipeline::kNetworkTimeoutMs / 1000;
// A live source silent for this long shows Buffering: it sends continuously, so
// a second without data is a stall, not a pause between packets ...
constexpr std::int64_t kLiveStallUs = 1000000;
// ... once its picture stands still too: a jitter buffer (rtspsrc's holds 2 s)
// plays on through a short silence.
constexpr std::int64_t kPictureStillUs = 500000;
// A local file opens in well under a second even on a loaded machine. playbin3 in
// GStreamer 1.22 now and then leaves one stuck before its first picture (decodebin3
// keeps its input blocked, unlinked, for ever); a fresh pipeline opens it.
constexpr guint kLocalOpenRetryS = 5;
// hlsdemux2 (1.22) does not skip a live segment it cannot download: it asks for
// it again every 10 ms until the playlist drops it, then ends the stream there or
// aborts the process (an assertion in its playlist update). A segment failing for
// this long ends the entry first; a VOD stream's demuxer gives up within 50 ms.
constexpr std::int64_t kSegmentGiveUpUs = 1000000;
// One tick's reads come within this time, with no main-loop event between them.
constexpr std::int64_t kFiguresCacheUs = 2000;

SourcePtr attach(GSource* source, GSourceFunc callback, gpointer data)
{
    g_source_set_callback(source, callback, data, nullptr);
    // nullptr: the default context, which the program's main loop runs.
    g_source_attach(source, nullptr);
    return SourcePtr(source);
}

// Runs a handler called from GLib: whatever it does, nothing may unwind into GLib.
template <typename Handler>
void guarded(const char* failing, Handler&& handler)
{
    try {
        handler();
    } catch (const std::exception& e) {
        g_printerr("Cannot %s: %s\n", failing, e.what());
    }
}

} // namespace

EntryPlayback::EntryPlayback(Entry entry, const EntryPipeline::Settings& settings, SinkFactory& sinks,
                             bool announced, bool mayRetry, Listener& listener)
    : m_entry(std::move(entry))
    , m_scheme(MediaUrl::scheme(m_entry.uri))
    , m_settings(settings)
    , m_sinks(sinks)
    , m_announced(announced)
    , m_mayRetry(mayRetry)
    , m_listener(listener)
    , m_counters(std::make_shared<StreamCounters>())
{
}

EntryPlayback::~EntryPlayback()
{
    release();
}

void EntryPlayback::start()
{
    // A local entry that is no regular file (a FIFO would block the open) fails here.
    std::string error = LocalSourceProblem(m_entry.uri);
    if (error.empty())
        m_pipeline = EntryPipeline::build(m_entry.uri, m_settings, m_sinks, m_counters, error);
    if (!m_pipeline) {
        fail(error);
        return;
    }
    BusPtr bus = m_pipeline->bus();
    m_busWatch = attach(gst_bus_create_watch(bus.get()), G_SOURCE_FUNC(&EntryPlayback::onBusMessage), this);
    m_openTimeout = attach(g_timeout_source_new_seconds(kOpenTimeoutS), &EntryPlayback::onOpenTimeout, this);
    if (m_mayRetry && m_scheme == "file")
        m_openRetry = attach(g_timeout_source_new_seconds(kLocalOpenRetryS), &EntryPlayback::onOpenRetry, this);
    m_statsTimer = attach(g_timeout_source_new(kStatsPeriodMs), &EntryPlayback::onStatsTimer, this);
    // The first sample, before any byte: the bit rate's first second starts here.
    pollStatistics();
    m_pipeline->start();
}

void EntryPlayback::stop()
{
    if (m_state == State::Failing) {
        m_probe->finishNow();
        return;
    }
    finish(State::Stopped);
}

// ---- States ----------------------------------------------------------------

void EntryPlayback::enter(State next)
{
    if (next == m_state)
        return;
    m_state = next;
    if (next == State::Opened) {
        m_openTimeout.reset();
        m_openRetry.reset();
    } else if (next >= State::Failing) {
        // Failing and the final states: the pipeline has nothing more to say.
        release();
    }
    m_listener.entryStateChanged(next);
}

// Moves the pipeline toward what the entry needs now, and the entry to the state
// that follows from what the bus has said so far. prerolled: the pipeline has just
// said so.
void EntryPlayback::advance(bool prerolled)
{
    if (!m_pipeline)
        return;
    if (m_state == State::Opening) {
        if (!mediaKnown(prerolled))
            return;
        m_media = readMedia();
        enter(State::Opened);
    }
    const bool live = m_pipeline->live();
    if (m_queueFill < 100 && !live) {
        m_pipeline->requestState(GST_STATE_PAUSED);
        enter(State::Buffering);
        return;
    }
    m_pipeline->requestState(GST_STATE_PLAYING);
    if (m_pipeline->current() != GST_STATE_PLAYING)
        return;
    // A live stream plays from the start, but its picture waits until the
    // jitter buffer has filled its latency: that wait is its buffering.
    if (live && m_counters->videoKnown() && m_pipeline->renderedFrames() == 0) {
        if (m_state != State::Buffering) {
            m_statistics.bufferingBegan();
            m_statistics.bufferingPercent(0);
        }
        enter(State::Buffering);
        return;
    }
    if (live && m_starved) {
        enter(State::Buffering);
        return;
    }
    if (live && m_state == State::Buffering)
        m_statistics.bufferingPercent(100);
    enter(State::Playing);
}

bool EntryPlayback::mediaKnown(bool prerolled) const
{
    if (!m_pipeline->live())
        return prerolled;
    if (m_counters->videoKnown())
        return true;
    return m_videoSelected == false && m_pipeline->current() == GST_STATE_PLAYING;
}

MediaInfo EntryPlayback::readMedia()
{
    MediaInfo media;
    media.sourceURL = m_entry.sourceUrl;
    if (!m_titleTag.empty())
        media.name = m_titleTag;
    else if (!m_entry.title.empty())
        media.name = m_entry.title;
    else
        media.name = MediaUrl::baseName(m_entry.uri);
    const bool live = m_pipeline->live();
    media.duration = live ? 0.0 : m_pipeline->durationS();
    const bool video = m_counters->videoKnown();
    media.width = video ? m_counters->width() : 0;
    media.height = video ? m_counters->height() : 0;
    if (!live) {
        if (const std::int64_t bytes = m_pipeline->sourceSizeBytes(); bytes > 0)
            m_statistics.sourceSize(bytes);
    }
    return media;
}

void EntryPlayback::finish(State final)
{
    pollStatistics();
    enter(final);
}

void EntryPlayback::fail(const std::string& reason)
{
    m_failure = reason;
    if (!m_missingPlugin.empty())
        m_failure += " (missing plugin: " + m_missingPlugin + ")";
    finish(State::Failed);
}

void EntryPlayback::failAfterProbe(const std::string& reason)
{
    // The pipeline has nothing more to say; the entry waits for the probe.
    pollStatistics();
    enter(State::Failing);
    m_probe = std::make_unique<ConnectionProbe>(m_entry.uri, m_settings.caFile,
                                                [this, reason](std::optional<std::string> unreachable) {
                                                    fail(unreachable ? *unreachable : reason);
                                                });
}

void EntryPlayback::release()
{
    m_probe.reset();
    m_figuresCache.reset();
    m_openTimeout.reset();
    m_openRetry.reset();
    m_busWatch.reset();
    m_pipeline.reset();
    m_statsTimer.reset();
}

// ---- Bus -------------------------------------------------------------------

gboolean EntryPlayback::onBusMessage(GstBus*, GstMessage* message, gpointer self)
{
    guarded("handle player message", [&] { static_cast<EntryPlayback*>(self)->handleMessage(message); });
    return G_SOURCE_CONTINUE;
}

// Each case ends the handling: a final state may have destroyed the playback.
void EntryPlayback::handleMessage(GstMessage* message)
{
    m_figuresCache.reset();
    switch (GST_MESSAGE_TYPE(message)) {
    case GST_MESSAGE_ERROR: {
        const bool nothingReceived = m_counters->bytes() == 0;
        BusMessages::Error error = BusMessages::error(message, nothingReceived);
        // An adaptive demuxer gives up on a segment without naming it; its request did.
        if (const std::string segment = m_counters->lastSegmentFailure(); !segment.empty()) {
            error.reason = segment + " (" + error.reason + ")";
            error.vague = false;
        }
        if (error.vague && nothingReceived && ConnectionProbe::appliesTo(m_scheme))
            failAfterProbe(error.reason);
        else
            fail(error.reason);
        break;
    }
    case GST_MESSAGE_EOS:
        // A live source whose server went away ends its stream too; that end is a failure.
        if (m_pipeline->live() && !m_sourceLost.empty())
            fail(m_sourceLost);
        // hlsdemux2 (1.22) ends a live stream at a segment it cannot download,
        // once the playlist has moved past it, as if the stream were over.
        else if (const std::string segment = m_counters->lastSegmentFailure(); !segment.empty())
            fail(segment);
        else
            finish(State::Ended);
        break;
    case GST_MESSAGE_WARNING:
        if (auto lost = BusMessages::sourceLost(message))
            m_sourceLost = std::move(*lost);
        break;
    case GST_MESSAGE_STATE_CHANGED:
        if (m_pipeline->takeStateChange(message))
            advance();
        break;
    case GST_MESSAGE_ASYNC_DONE:
        advance(true);
        break;
    case GST_MESSAGE_BUFFERING: {
        if (m_pipeline->live())
            break; // a live source cannot be paused to fill up
        gint percent = 0;
        gst_message_parse_buffering(message, &percent);
        m_statistics.bufferingPercent(percent);
        if (percent < 100 && m_queueFill >= 100)
            m_statistics.bufferingBegan();
        m_queueFill = percent;
        advance();
        break;
    }
    case GST_MESSAGE_TAG: {
        const BusMessages::Tags tags = BusMessages::tags(message);
        if (m_titleTag.empty() && !tags.title.empty()) {
            m_titleTag = tags.title;
            if (m_media && m_announced)
                m_media->name = m_titleTag;
        }
        if (tags.bitrate > 0)
            m_statistics.taggedBitrate(tags.element, tags.bitrate);
        break;
    }
    case GST_MESSAGE_QOS:
        if (const auto dropped = BusMessages::framesDropped(message))
            m_statistics.framesDropped(dropped->element, dropped->frames);
        break;
    case GST_MESSAGE_ELEMENT:
        if (std::string plugin = BusMessages::missingPlugin(message); !plugin.empty())
            m_missingPlugin = std::move(plugin);
        else if (const auto adaptive = BusMessages::adaptiveStatistics(message))
            adaptiveStatistics(*adaptive);
        break;
    case GST_MESSAGE_APPLICATION:
        if (gst_message_has_name(message, StreamProbes::kVideoFormatMessage))
            advance();
        break;
    case GST_MESSAGE_STREAMS_SELECTED:
        m_videoSelected = BusMessages::videoSelected(message);
        advance();
        break;
    case GST_MESSAGE_DURATION_CHANGED:
        if (m_media && !m_pipeline->live()) {
            if (const double duration = m_pipeline->durationS(); duration > 0.0)
                m_media->duration = duration;
        }
        break;
    case GST_MESSAGE_CLOCK_LOST:
        m_pipeline->recoverClock();
        break;
    default:
        break;
    }
}

void EntryPlayback::adaptiveStatistics(const BusMessages::AdaptiveStatistics& statistics)
{
    // The manifest has been read once its download is reported; the first such
    // report is the master playlist or MPD.
    if (statistics.manifestDownloaded && !m_statistics.hasVariants())
        m_statistics.variants(AdaptiveManifest::parse(m_counters->manifest(), statistics.manifestUri));
    if (statistics.bitrate > 0)
        m_statistics.variantChosen(statistics.bitrate);
}

// ---- Timers ----------------------------------------------------------------

gboolean EntryPlayback::onOpenTimeout(gpointer self)
{
    auto* playback = static_cast<EntryPlayback*>(self);
    if (playback->m_pipeline)
        playback->m_pipeline->drawGraph("zephyrscope-open-timeout");
    guarded("skip player entry", [&] {
        playback->m_openTimeout.reset();
        std::string reason = "timed out while opening";
        if (BroadcastSource::isBroadcastScheme(playback->m_scheme) && playback->m_counters->bytes() == 0)
            reason += ": " + BroadcastSource::silenceReason(playback->m_entry.uri);
        playback->fail(reason);
    });
    return G_SOURCE_REMOVE;
}

gboolean EntryPlayback::onOpenRetry(gpointer self)
{
    auto* playback = static_cast<EntryPlayback*>(self);
    guarded("open player entry again", [&] {
        playback->m_openRetry.reset();
        if (playback->m_state != State::Opening)
            return;
        g_printerr("Player: '%s' did not open in %u s; opening it again\n", playback->m_entry.sourceUrl.c_str(),
                   kLocalOpenRetryS);
        playback->enter(State::Stuck);
    });
    return G_SOURCE_REMOVE;
}

// ---- Statistics ------------------------------------------------------------

gboolean EntryPlayback::onStatsTimer(gpointer self)
{
    guarded("sample player statistics", [&] {
        auto* playback = static_cast<EntryPlayback*>(self);
        playback->pollStatistics();
        // Last: it may end the entry, and with it the playback.
        playback->watchDataFlow();
    });
    return G_SOURCE_CONTINUE;
}

void EntryPlayback::pollStatistics()
{
    m_figuresCache.reset();
    if (!m_pipeline)
        return;
    // The sink says nothing when its first picture goes out; look for it here.
    if (m_pipeline->live() && m_state == State::Buffering)
        advance();
    ElementPtr source(m_counters->source());
    m_statistics.poll(*m_counters, source.get(), m_scheme != "file", m_pipeline->current() == GST_STATE_PLAYING);
}

// An adaptive stream's segment that keeps failing ends the entry (see
// kSegmentGiveUpUs). A network source that stops sending: a live one (which
// nothing else watches) shows Buffering after a second of silence, counted as a
// stall; any that has waited in Buffering for the no-data timeout fails, so a
// run never hangs.
// May end the entry: nothing touches the playback after a call.
void EntryPlayback::watchDataFlow()
{
    if (!m_pipeline || m_scheme == "file")
        return;
    const std::int64_t now = g_get_monotonic_time();
    if (const std::int64_t since = m_counters->segmentFailingSinceUs(); since > 0 && now - since >= kSegmentGiveUpUs) {
        fail(m_counters->lastSegmentFailure());
        return;
    }
    if (m_state != State::Playing && m_state != State::Buffering)
        return; // opening has its own timeout
    const std::uint64_t bytes = m_counters->bytes();
    if (bytes != m_lastBytes || m_lastDataUs == 0) {
        m_lastBytes = bytes;
        m_lastDataUs = now;
        if (m_starved) {
            m_starved = false;
            advance();
        }
        return;
    }
    const std::int64_t silentUs = now - m_lastDataUs;
    const bool pictureStill = !m_counters->videoKnown() || now - m_counters->lastFrameUs() >= kPictureStillUs;
    if (m_pipeline->live() && !m_starved && silentUs >= kLiveStallUs && pictureStill && m_state == State::Playing) {
        m_starved = true;
        m_statistics.bufferingBegan();
        m_statistics.bufferingPercent(0);
        enter(State::Buffering);
        return;
    }
    const std::int64_t timeoutUs = static_cast<std::int64_t>(m_settings.noDataTimeoutMs) * 1000;
    if (m_state == State::Buffering && silentUs >= timeoutUs)
        fail("no data for " + std::to_string(m_settings.noDataTimeoutMs / 1000) + " s");
}

NetworkFigures EntryPlayback::figures() const
{
    const std::int64_t now = g_get_monotonic_time();
    if (m_figuresCache && now - m_figuresCacheUs < kFiguresCacheUs)
        return *m_figuresCache;
    NetworkFigures figures;
    figures.maxBandwidth = m_settings.maxBandwidth;
    // What the engine itself gave playbin3 as its buffer-duration: asking playbin3
    // back is a property lookup of about 16 us when the caches are cold.
    figures.bufferingTime = m_settings.bufferingTimeMs;
    m_statistics.fill(figures, m_counters.get(), m_pipeline != nullptr, m_media ? m_media->duration : 0.0);
    const auto overUdp = m_statistics.rtpOverUdp();
    if (m_scheme == "rtsp" && overUdp)
        figures.sourceProtocol = *overUdp ? "RTSPU" : "RTSPT";
    else if (const auto adaptive = m_counters->adaptive(); adaptive == StreamCounters::Adaptive::Hls)
        figures.sourceProtocol = "HLS";
    else if (adaptive == StreamCounters::Adaptive::Dash)
        figures.sourceProtocol = "DASH";
    else if (adaptive == StreamCounters::Adaptive::Mss)
        figures.sourceProtocol = "MSS";
    else
        figures.sourceProtocol = MediaUrl::protocolForScheme(m_scheme);
    m_figuresCache = figures;
    m_figuresCacheUs = now;
    return figures;
}

} // namespace zephyrscope

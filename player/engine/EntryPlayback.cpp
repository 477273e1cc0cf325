#include "EntryPlayback.h"

#include "ConnectionProbe.h"
#include "LocalSource.h"
#include "MediaUrl.h"
#include "PlayerProtocols.h"
#include "Protocol.h"

namespace zephyrscope {

using namespace gsthandles;

namespace {
// Segment bytes beyond what the player took in, past which a silence is said to
// be the demuxer's (padding of encrypted segments and index ranges stay far below).
constexpr std::uint64_t kDroppedSegmentsNoteBytes = 1 << 20;

constexpr guint kStatsPeriodMs = 100; // history resolution of bit rate and reception
// A local file opens in well under a second even on a loaded machine. playbin3 in
// GStreamer 1.22 now and then leaves one stuck before its first picture (decodebin3
// keeps its input blocked, unlinked, for ever); a fresh pipeline opens it.
// Upstream: no fix identified as of 1.28.6.
constexpr guint kLocalOpenRetryS = 5;
// Descriptors an entry's pipeline takes at the least (buses, clock, threads'
// wake-ups, sockets); with fewer free it would run out on the way.
constexpr int kEntryDescriptors = 16;

} // namespace

EntryPlayback::EntryPlayback(Entry entry, const EntryPipeline::Settings& settings, SinkFactory& sinks,
                             bool announced, bool mayRetry, Listener& listener)
    : m_entry(std::move(entry))
    , m_scheme(MediaUrl::scheme(m_entry.uri))
    , m_protocol(playerProtocolForScheme(m_scheme))
    , m_settings(settings)
    , m_sinks(sinks)
    , m_announced(announced)
    , m_mayRetry(mayRetry)
    , m_listener(listener)
    , m_measure(m_scheme, settings.maxBandwidth, settings.bufferingTimeMs, playerProtocols())
    , m_counters(m_measure.counters())
    , m_statistics(m_measure.statistics())
    , m_bus(m_scheme, m_measure)
    , m_watch(settings.noDataTimeoutMs)
{
}

EntryPlayback::~EntryPlayback()
{
    release();
}

void EntryPlayback::start()
{
    nextGeneration();
    m_counters->openRequested(m_entry.requestedUs > 0 ? m_entry.requestedUs : g_get_monotonic_time());
    // A local entry that is no regular file (a FIFO would block the open) fails here.
    std::string error = LocalSourceProblem(m_entry.uri);
    const std::optional<std::string> shortOfDescriptors = EntryFailureCauses::watch(kEntryDescriptors);
    if (error.empty())
        error = shortOfDescriptors.value_or("");
    if (error.empty())
        m_pipeline = EntryPipeline::build(m_entry.uri, m_settings, m_sinks, m_counters, error);
    if (!m_pipeline) {
        fail(error);
        return;
    }
    const BusPtr bus(gst_element_get_bus(m_pipeline->element()));
    m_busWatch = attach(gst_bus_create_watch(bus.get()), G_SOURCE_FUNC(&EntryPlayback::onBusMessage), this);
    m_openTimeout = attach(g_timeout_source_new(static_cast<guint>(m_settings.openTimeoutMs)),
                           &EntryPlayback::onOpenTimeout, this);
    if (m_mayRetry && isLocalScheme(m_scheme))
        m_openRetry = attach(g_timeout_source_new_seconds(kLocalOpenRetryS), &EntryPlayback::onOpenRetry, this);
    m_statsTimer = attach(g_timeout_source_new(kStatsPeriodMs), &EntryPlayback::onStatsTimer, this);
    // The first sample, before any byte: the bit rate's first second starts here.
    pollStatistics();
    m_pipeline->start();
}

void EntryPlayback::stop()
{
    if (ended())
        return;
    nextGeneration();
    if (m_state == State::Failing)
        m_probe->finishNow();
    else
        finish(State::Stopped);
}

// ---- States ----------------------------------------------------------------

void EntryPlayback::enter(State next)
{
    if (next == m_state)
        return;
    m_state = next;
    nextGeneration();
    noteBuffering();
    if (next != State::Buffering)
        m_buffering = BufferingCause::None;
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
    if (m_bus.queueFill() < 100 && !live) {
        m_pipeline->requestState(GST_STATE_PAUSED);
        enterBuffering(BufferingCause::QueueFilling);
        return;
    }
    m_pipeline->requestState(GST_STATE_PLAYING);
    if (m_pipeline->current() != GST_STATE_PLAYING)
        return;
    // A live stream plays from the start, but its picture waits until the
    // jitter buffer has filled its latency: that wait is its buffering.
    if (live && m_counters->videoKnown() && m_pipeline->renderedFrames() == 0) {
        enterBuffering(BufferingCause::AwaitingFirstPicture);
        return;
    }
    if (m_watch.stalled()) {
        enterBuffering(BufferingCause::Stalled);
        return;
    }
    // The queue reports its own fill; the other causes end full.
    if (m_state == State::Buffering && m_buffering != BufferingCause::QueueFilling)
        m_statistics.bufferingPercent(100);
    m_measure.stallOver();
    enter(State::Playing);
}

// A wait the queue does not report (it does, with its fill, for QueueFilling)
// shows as a buffering that starts empty.
void EntryPlayback::enterBuffering(BufferingCause cause)
{
    if (cause != BufferingCause::QueueFilling && m_state != State::Buffering)
        m_statistics.bufferingPercent(0);
    if (m_state == State::Playing)
        m_measure.stallBegan(cause == BufferingCause::QueueFilling);
    m_buffering = cause;
    enter(State::Buffering);
}

bool EntryPlayback::mediaKnown(bool prerolled) const
{
    if (!m_pipeline->live())
        return prerolled;
    if (m_counters->videoKnown())
        return true;
    if (const ElementPtr source(m_counters->source());
        source && m_protocol && m_protocol->pictureToCome && m_protocol->pictureToCome(source.get()))
        return false; // its picture's size is still to come
    return m_bus.videoSelected() == false && m_pipeline->current() == GST_STATE_PLAYING;
}

MediaInfo EntryPlayback::readMedia()
{
    MediaInfo media;
    media.sourceURL = m_entry.sourceUrl;
    if (!m_bus.titleTag().empty())
        media.name = m_bus.titleTag();
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
    // What failed for want of a descriptor, or over a download that was refused,
    // says so, whatever the element made of it.
    m_failure = m_causes.reason(reason);
    if (!m_bus.missingPlugin().empty())
        m_failure += " (missing plugin: " + m_bus.missingPlugin() + ")";
    finish(State::Failed);
}

void EntryPlayback::failAfterProbe(const std::string& reason)
{
    // The pipeline has nothing more to say; the entry waits for the probe.
    pollStatistics();
    enter(State::Failing);
    m_probe = std::make_unique<ConnectionProbe>(m_entry.uri, m_settings.source.caFile,
                                                [this, reason](std::optional<std::string> unreachable) {
                                                    fail(unreachable ? *unreachable : reason);
                                                });
}

// The probe stays: it may be the one answering now; it goes with the playback.
// What is heard from here on is not the entry's.
void EntryPlayback::release()
{
    m_causes.stop();
    m_openTimeout.reset();
    m_openRetry.reset();
    m_busWatch.reset();
    m_pipeline.reset();
    m_statsTimer.reset();
}

// ---- Bus and timers --------------------------------------------------------

gboolean EntryPlayback::onBusMessage(GstBus*, GstMessage* message, gpointer self)
{
    guarded("handle player message", [&] { static_cast<EntryPlayback*>(self)->handleMessage(message); });
    return G_SOURCE_CONTINUE;
}

void EntryPlayback::handleMessage(GstMessage* message)
{
    nextGeneration();
    if (!m_pipeline)
        return; // a message that was queued before the pipeline went
    const BusTranslator::Step step = m_bus.translate(message, *m_pipeline);
    noteBuffering();
    switch (step.kind) {
    case BusTranslator::Step::Kind::None:
        break;
    case BusTranslator::Step::Kind::Advance:
        advance();
        break;
    case BusTranslator::Step::Kind::Prerolled:
        advance(true);
        break;
    case BusTranslator::Step::Kind::Ended:
        finish(State::Ended);
        break;
    case BusTranslator::Step::Kind::Fail:
        fail(step.reason);
        break;
    case BusTranslator::Step::Kind::ProbeThenFail:
        failAfterProbe(step.reason);
        break;
    case BusTranslator::Step::Kind::TitleFound:
        if (m_media && m_announced)
            m_media->name = m_bus.titleTag();
        break;
    case BusTranslator::Step::Kind::DurationChanged:
        if (m_media)
            m_media->duration = step.duration;
        break;
    }
}

gboolean EntryPlayback::onOpenTimeout(gpointer self)
{
    auto* playback = static_cast<EntryPlayback*>(self);
    playback->nextGeneration();
    if (playback->m_pipeline)
        playback->m_pipeline->drawGraph("zephyrscope-open-timeout");
    guarded("skip player entry", [&] {
        playback->m_openTimeout.reset();
        const PlayerProtocol* protocol = playback->m_protocol;
        const std::string reason = protocol && protocol->openingProblem
            ? protocol->openingProblem(ElementPtr(playback->m_counters->source()).get(), playback->m_entry.uri,
                                       *playback->m_counters, playback->m_settings.openTimeoutMs / 1000)
            : std::string();
        playback->fail(reason.empty() ? "timed out while opening" : reason);
    });
    return G_SOURCE_REMOVE;
}

gboolean EntryPlayback::onOpenRetry(gpointer self)
{
    auto* playback = static_cast<EntryPlayback*>(self);
    guarded("open player entry again", [&] {
        playback->nextGeneration();
        playback->m_openRetry.reset();
        if (playback->m_state != State::Opening)
            return;
        g_printerr("Player: '%s' did not open in %u s; opening it again\n", playback->m_entry.sourceUrl.c_str(),
                   kLocalOpenRetryS);
        playback->enter(State::Stuck);
    });
    return G_SOURCE_REMOVE;
}

gboolean EntryPlayback::onStatsTimer(gpointer self)
{
    guarded("sample player statistics", [&] {
        auto* playback = static_cast<EntryPlayback*>(self);
        // Descriptors that ran out, or what a demuxer downloaded itself and was
        // refused (see DownloadRefusals): fail() names which.
        if (playback->m_causes.heard()) {
            playback->fail({});
            return;
        }
        playback->pollStatistics();
        playback->watchDataFlow();
    });
    return G_SOURCE_CONTINUE;
}

void EntryPlayback::pollStatistics()
{
    nextGeneration();
    if (!m_pipeline)
        return;
    // The sink says nothing when its first picture goes out; look for it here.
    if (m_state == State::Buffering && m_buffering == BufferingCause::AwaitingFirstPicture)
        advance();
    m_measure.poll(m_pipeline->current() == GST_STATE_PLAYING);
}

// What the data-flow watch makes of the entry now; see DataFlowWatch.
void EntryPlayback::watchDataFlow()
{
    if (!m_pipeline)
        return;
    const auto phase = m_state == State::Playing ? DataFlowWatch::Phase::Playing
        : m_state == State::Buffering ? DataFlowWatch::Phase::Buffering : DataFlowWatch::Phase::Other;
    DataFlowWatch::Sight sight {g_get_monotonic_time(), phase, !isLocalScheme(m_scheme), m_pipeline->live(),
                                m_counters->bytesTakenIn(), m_counters->videoKnown(), m_counters->lastFrameUs(),
                                m_counters->segmentFailingSinceUs()};
    if (m_media && m_media->duration > 0.0)
        sight.durationUs = static_cast<std::int64_t>(m_media->duration * 1e6);
    // The sink's frame still to show, on the watch's clock.
    if (const std::int64_t dueWallUs = m_counters->presentation().lastShownWallUs(), nowWallUs = g_get_real_time();
        dueWallUs > nowWallUs)
        sight.heldFrameDueUs = sight.nowUs + (dueWallUs - nowWallUs);
    if (m_counters->fpsNumerator() > 0)
        sight.frameIntervalUs = 1000000LL * m_counters->fpsDenominator() / m_counters->fpsNumerator();
    if (DataFlowWatch::wantsPosition(sight))
        sight.positionUs = m_pipeline->positionUs();
    switch (m_watch.look(sight)) {
    case DataFlowWatch::Verdict::None:
        break;
    case DataFlowWatch::Verdict::Stall:
        enterBuffering(BufferingCause::Stalled);
        break;
    case DataFlowWatch::Verdict::Resume:
        advance();
        break;
    case DataFlowWatch::Verdict::NoData:
        // Data the player took in is what the watch counts: segments a demuxer
        // downloaded and dropped do not play, and the reason says so.
        fail(m_watch.reason()
             + (m_counters->bytes() > m_counters->bytesTakenIn() + kDroppedSegmentsNoteBytes
                    ? " (segments arrived, but the demuxer passed none of them on)"
                    : ""));
        break;
    case DataFlowWatch::Verdict::SegmentGivenUp:
        fail(m_counters->lastSegmentFailure());
        break;
    case DataFlowWatch::Verdict::Ended:
        g_printerr("Player: '%s' played to its end but the engine lost its end of stream; taken as ended\n",
                   m_entry.sourceUrl.c_str());
        pollStatistics(); // the last figures, while the pipeline is there to give them
        m_pipeline->abandon();
        enter(State::Ended);
        break;
    }
}

} // namespace zephyrscope

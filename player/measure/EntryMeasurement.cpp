#include "EntryMeasurement.h"

#include "AdaptiveBuffering.h"
#include "BusMessages.h"
#include "GstHandles.h"
#include "Protocol.h"
#include "RedactedUrl.h"
#include "SourceProtocol.h"

namespace zephyrscope {

using namespace gsthandles;

EntryMeasurement::EntryMeasurement(std::string scheme, std::int32_t maxBandwidth, std::int32_t bufferingTimeMs,
                                   std::span<const PlayerProtocol* const> protocols)
    : m_scheme(std::move(scheme))
    , m_maxBandwidth(maxBandwidth)
    , m_bufferingTimeMs(bufferingTimeMs)
    , m_counters(std::make_shared<StreamCounters>())
    , m_statistics(protocols)
    , m_manifestSplices(m_counters)
{
}

void EntryMeasurement::poll(bool playing)
{
    readFrames();
    ElementPtr source(m_counters->source());
    m_statistics.poll(*m_counters, source.get(), !isLocalScheme(m_scheme), playing);
    m_manifestSplices.poll();
}

void EntryMeasurement::readFrames() const
{
    m_framesRead = m_counters->presentation().framesAfter(
        m_framesRead, [this](std::int64_t wallUs) { m_stallTiming.frameShown(wallUs); });
}

void EntryMeasurement::stallBegan(bool paused)
{
    readFrames();
    m_stallTiming.stallBegan(g_get_real_time(), paused);
}

void EntryMeasurement::stallOver()
{
    readFrames();
    m_stallTiming.stallOver(g_get_real_time());
}

bool EntryMeasurement::take(GstMessage* message)
{
    if (GST_MESSAGE_TYPE(message) == GST_MESSAGE_QOS) {
        if (const auto dropped = BusMessages::framesDropped(message))
            m_statistics.framesDropped(dropped->element, dropped->frames);
        return true;
    }
    const auto adaptive = BusMessages::adaptiveStatistics(message);
    if (!adaptive)
        return false;
    // The manifest has been read once its download is reported; the first such
    // report is the master playlist or MPD.
    if (adaptive->manifestDownloaded && !m_statistics.hasVariants()) {
        m_statistics.variants(AdaptiveManifest::parse(m_counters->manifest(), adaptive->manifestUri));
        if (const auto clock = AdaptiveManifest::dashLiveClock(m_counters->manifest(), adaptive->manifestUri)) {
            GstObject* demuxer = GST_MESSAGE_SRC(message);
            AdaptiveBuffering::fitLive(GST_IS_ELEMENT(demuxer) ? GST_ELEMENT(demuxer) : nullptr, m_bufferingTimeMs);
            serverClock(*clock);
        }
    }
    // The splices the first manifest signals; those of later copies come from
    // the manifests the demuxer fetches.
    if (adaptive->manifestDownloaded && !m_manifestSplicesRead) {
        m_manifestSplicesRead = true;
        m_manifestSplices.read(m_counters->manifest(), g_get_real_time() / 1000);
    }
    if (adaptive->bitrate > 0)
        m_statistics.variantChosen(adaptive->bitrate);
    return true;
}

// A live MPD dates its frames by the server's clock, set against ours by the
// time the MPD says it is there (UTCTiming, in the MPD or at a URL), less any
// difference. A time URL that does not answer leaves the clocks taken as one.
void EntryMeasurement::serverClock(const DashLiveClock& clock)
{
    PresentationTimes& presentation = m_counters->presentation();
    if (!clock.timeSource) {
        // The MPD's time is when it was sent: set it against when it came, not
        // when the main loop got round to reading it.
        const std::int64_t arrivedUs = m_counters->manifestArrivedUs();
        const std::int64_t offsetUs
            = clock.serverTimeUs ? *clock.serverTimeUs - (arrivedUs > 0 ? arrivedUs : g_get_real_time()) : 0;
        presentation.streamStartDateTime(clock.availabilityStartUs - offsetUs);
        return;
    }
    // Once per entry, however often the MPD comes again.
    if (m_timeAsked)
        return;
    m_timeAsked = true;
    const std::int64_t startUs = clock.availabilityStartUs;
    const std::string url = clock.timeSource->value;
    m_timeFetch = UtcTimingFetch::start(*clock.timeSource, [this, startUs, url](UtcTimingFetch::Result result) {
        if (!result.offsetUs)
            g_printerr("Cannot read the server's time at '%s': %s; latency taken by this host's clock\n",
                       RedactedUrl(url).c_str(), RedactedText(result.error).c_str());
        m_counters->presentation().streamStartDateTime(startUs - result.offsetUs.value_or(0));
        changed();
    });
}

const NetworkFigures& EntryMeasurement::figures(bool flowing, double durationS) const
{
    if (m_figuresGeneration == m_generation)
        return m_figures;
    // Afresh, but into the stretches' buffer of the last time: a tick allocates nothing.
    std::vector<ContentStretch> stretches = std::move(m_figures.contentStretches);
    std::vector<SpliceCommand> splices = std::move(m_figures.splices.commands);
    stretches.clear();
    splices.clear();
    m_figures = NetworkFigures {};
    m_figures.contentStretches = std::move(stretches);
    m_figures.splices.commands = std::move(splices);
    m_figures.maxBandwidth = m_maxBandwidth;
    // What the engine itself gave playbin3 as its buffer-duration: asking playbin3
    // back is a property lookup of about 16 us when the caches are cold.
    m_figures.bufferingTime = m_bufferingTimeMs;
    m_statistics.fill(m_figures, *m_counters, flowing, durationS);
    m_counters->presentation().fill(m_figures);
    readFrames();
    m_figures.stallsTimed = m_stallTiming.count();
    m_figures.stallSinceWallMs = m_stallTiming.last().sinceUs / 1000;
    m_figures.stallResumedWallMs = m_stallTiming.last().resumedUs / 1000;
    // A clip with a length is not live, whatever dates its segments carry.
    if (durationS > 0.0)
        m_figures.liveLatencyMs.reset();
    m_figures.protocol = SourceProtocol::of(m_scheme, m_counters->adaptive(), m_statistics.rtpOverUdp());
    m_figuresGeneration = m_generation;
    return m_figures;
}

} // namespace zephyrscope

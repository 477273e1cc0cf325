#include "BusTranslator.h"

#include "BusMessages.h"
#include "ConnectionProbe.h"
#include "EntryMeasurement.h"
#include "EntryPipeline.h"
#include "StreamProbes.h"

namespace zephyrscope {

using Kind = BusTranslator::Step::Kind;

BusTranslator::BusTranslator(std::string scheme, EntryMeasurement& measure)
    : m_scheme(std::move(scheme))
    , m_measure(measure)
{
}

BusTranslator::Step BusTranslator::translate(GstMessage* message, EntryPipeline& pipeline)
{
    switch (GST_MESSAGE_TYPE(message)) {
    case GST_MESSAGE_ERROR:
        return translateError(message);
    case GST_MESSAGE_EOS:
        return translateEndOfStream(pipeline);
    case GST_MESSAGE_WARNING:
        if (auto lost = BusMessages::sourceLost(message))
            m_sourceLost = std::move(*lost);
        return {};
    case GST_MESSAGE_STATE_CHANGED:
        return {pipeline.takeStateChange(message) ? Kind::Advance : Kind::None};
    case GST_MESSAGE_ASYNC_DONE:
        return {Kind::Prerolled};
    case GST_MESSAGE_BUFFERING:
        if (pipeline.live())
            return {}; // a live source cannot be paused to fill up
        return translateBuffering(message);
    case GST_MESSAGE_TAG:
        return translateTags(message);
    case GST_MESSAGE_QOS:
    case GST_MESSAGE_ELEMENT:
        if (m_measure.take(message))
            return {};
        if (std::string plugin = BusMessages::missingPlugin(message); !plugin.empty())
            m_missingPlugin = std::move(plugin);
        return {};
    case GST_MESSAGE_APPLICATION:
        return {gst_message_has_name(message, StreamProbes::kVideoFormatMessage) ? Kind::Advance : Kind::None};
    case GST_MESSAGE_STREAMS_SELECTED:
        m_videoSelected = BusMessages::videoSelected(message);
        return {Kind::Advance};
    case GST_MESSAGE_DURATION_CHANGED:
        if (!pipeline.live()) {
            if (const double duration = pipeline.durationS(); duration > 0.0)
                return {Kind::DurationChanged, {}, duration};
        }
        return {};
    case GST_MESSAGE_CLOCK_LOST:
        pipeline.recoverClock();
        return {};
    default:
        return {};
    }
}

BusTranslator::Step BusTranslator::translateError(GstMessage* message)
{
    const StreamCounters& counters = *m_measure.counters();
    const bool nothingReceived = counters.bytes() == 0;
    BusMessages::Error error = BusMessages::error(message, nothingReceived);
    // An adaptive demuxer gives up on a segment without naming it; its request did.
    if (const std::string segment = counters.lastSegmentFailure(); !segment.empty()) {
        error.reason = segment + " (" + error.reason + ")";
        error.vague = false;
    }
    const bool probe = error.vague && nothingReceived && ConnectionProbe::appliesTo(m_scheme);
    return {probe ? Kind::ProbeThenFail : Kind::Fail, std::move(error.reason)};
}

BusTranslator::Step BusTranslator::translateEndOfStream(const EntryPipeline& pipeline) const
{
    // A live source whose server went away ends its stream too; that end is a failure.
    if (pipeline.live() && !m_sourceLost.empty())
        return {Kind::Fail, m_sourceLost};
    // hlsdemux2 (1.22) ends a live stream at a segment it cannot download,
    // once the playlist has moved past it, as if the stream were over.
    // Upstream fix: 52d577eee1 "adaptivedemux2: Fix for failed download handling" (1.24.0).
    if (std::string segment = m_measure.counters()->lastSegmentFailure(); !segment.empty())
        return {Kind::Fail, std::move(segment)};
    return {Kind::Ended};
}

BusTranslator::Step BusTranslator::translateBuffering(GstMessage* message)
{
    gint percent = 0;
    gst_message_parse_buffering(message, &percent);
    m_measure.statistics().bufferingPercent(percent);
    m_queueFill = percent;
    return {Kind::Advance};
}

BusTranslator::Step BusTranslator::translateTags(GstMessage* message)
{
    const BusMessages::Tags tags = BusMessages::tags(message);
    if (tags.bitrate > 0)
        m_measure.statistics().taggedBitrate(tags.element, tags.bitrate);
    if (!m_titleTag.empty() || tags.title.empty())
        return {};
    m_titleTag = tags.title;
    return {Kind::TitleFound};
}

} // namespace zephyrscope

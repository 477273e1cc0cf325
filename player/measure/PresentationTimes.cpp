#include "PresentationTimes.h"

#include "GstHandles.h"

#include <gst/gst.h>

namespace zephyrscope {

namespace {

// NTP counts from 1900, Unix time from 1970: 70 years with 17 leap days.
constexpr std::int64_t kNtpToUnixS = 2208988800LL;
constexpr std::int64_t kNsPerUs = 1000;

// What the probe keeps between calls, on the sink's streaming thread only
// (its events and buffers come in order on one thread).
struct SinkWatch {
    std::shared_ptr<PresentationTimes> times;
    GstSegment segment;
    GstClockTime latency = 0; // the pipeline latency the sink waits for
    gsthandles::CapsPtr ntpCaps;
    // A source's wall clock at one stream time, from an adaptive demuxer.
    std::int64_t dateWallUs = 0;
    GstClockTime dateStreamTime = GST_CLOCK_TIME_NONE;
    // What the sink drops as too late (basesink): a frame later than its
    // duration plus max-lateness, unless a second of stream time has gone by
    // since the last frame it rendered. -1: it drops nothing.
    gint64 maxLatenessNs = -1;
    GstClockTime lastShownRunning = GST_CLOCK_TIME_NONE;
};

// When a synced sink will show buffer: it waits until the pipeline clock reaches
// the buffer's running time plus the base time and the pipeline's latency.
// Whether it will show it at all: a synced sink drops a frame that comes too late.
// prerolled: the sink is not Playing yet; it shows the frame now as it prerolls,
// and once Playing again at its running time plus the latency, which is not known
// yet (a live pipeline's first frame then stays on screen for the whole latency).
std::int64_t showWallUs(GstElement* sink, SinkWatch& watch, GstBuffer* buffer, bool& dropped, bool& prerolled)
{
    dropped = false;
    prerolled = GST_STATE(sink) != GST_STATE_PLAYING;
    const std::int64_t nowUs = g_get_real_time();
    const GstClockTime pts = GST_BUFFER_PTS(buffer);
    if (!GST_CLOCK_TIME_IS_VALID(pts) || watch.segment.format != GST_FORMAT_TIME || prerolled)
        return nowUs;
    const GstClockTime running = gst_segment_to_running_time(&watch.segment, GST_FORMAT_TIME, pts);
    const gsthandles::ClockPtr clock {gst_element_get_clock(sink)};
    if (!GST_CLOCK_TIME_IS_VALID(running) || !clock)
        return nowUs;
    const GstClockTimeDiff wait =
        GST_CLOCK_DIFF(gst_clock_get_time(clock.get()), running + gst_element_get_base_time(sink) + watch.latency);
    const GstClockTime duration = GST_BUFFER_DURATION_IS_VALID(buffer) ? GST_BUFFER_DURATION(buffer) : 0;
    dropped = watch.maxLatenessNs >= 0 && -wait > static_cast<GstClockTimeDiff>(duration) + watch.maxLatenessNs
        && GST_CLOCK_TIME_IS_VALID(watch.lastShownRunning) && running <= watch.lastShownRunning + GST_SECOND;
    if (!dropped)
        watch.lastShownRunning = running;
    return wait > 0 ? nowUs + wait / kNsPerUs : nowUs;
}

// When the source captured buffer, from the date a demuxer gave for the first
// frame of its segment: the stream's time runs as the source's wall clock does.
std::int64_t datedCapture(SinkWatch& watch, GstBuffer* buffer)
{
    const GstClockTime pts = GST_BUFFER_PTS(buffer);
    const GstClockTime streamTime = GST_CLOCK_TIME_IS_VALID(pts) && watch.segment.format == GST_FORMAT_TIME
        ? gst_segment_to_stream_time(&watch.segment, GST_FORMAT_TIME, pts)
        : GST_CLOCK_TIME_NONE;
    if (!GST_CLOCK_TIME_IS_VALID(streamTime))
        return 0;
    if (const std::int64_t start = watch.times->streamStartDateTime(); start != 0)
        return start + static_cast<std::int64_t>(streamTime / kNsPerUs);
    if (const std::int64_t date = watch.times->takeSegmentDateTime(); date != 0) {
        watch.dateWallUs = date;
        watch.dateStreamTime = streamTime;
    }
    if (watch.dateWallUs == 0)
        return 0;
    return watch.dateWallUs + GST_CLOCK_DIFF(watch.dateStreamTime, streamTime) / kNsPerUs;
}

GstPadProbeReturn onSinkPad(GstPad* pad, GstPadProbeInfo* info, gpointer data)
{
    auto& watch = gsthandles::heldState<SinkWatch>(data);
    if (info->type & GST_PAD_PROBE_TYPE_BUFFER) {
        GstBuffer* buffer = GST_PAD_PROBE_INFO_BUFFER(info);
        std::int64_t captureUs = 0;
        if (GstReferenceTimestampMeta* meta = gst_buffer_get_reference_timestamp_meta(buffer, watch.ntpCaps.get()))
            captureUs = static_cast<std::int64_t>(meta->timestamp / kNsPerUs) - kNtpToUnixS * 1000000;
        else
            captureUs = datedCapture(watch, buffer);
        GstElement* sink = GST_PAD_PARENT(pad);
        bool dropped = false, prerolled = false;
        const std::int64_t shownUs = sink ? showWallUs(sink, watch, buffer, dropped, prerolled) : g_get_real_time();
        if (prerolled)
            watch.times->framePrerolled(shownUs);
        else
            watch.times->frameShown(shownUs, captureUs, !dropped);
    } else if (info->type & GST_PAD_PROBE_TYPE_EVENT_BOTH) {
        GstEvent* event = GST_PAD_PROBE_INFO_EVENT(info);
        if (GST_EVENT_TYPE(event) == GST_EVENT_SEGMENT)
            gst_event_copy_segment(event, &watch.segment);
        else if (GST_EVENT_TYPE(event) == GST_EVENT_LATENCY)
            gst_event_parse_latency(event, &watch.latency);
        else if (GST_EVENT_TYPE(event) == GST_EVENT_FLUSH_STOP) {
            gst_segment_init(&watch.segment, GST_FORMAT_UNDEFINED);
            watch.lastShownRunning = GST_CLOCK_TIME_NONE;
        }
    }
    return GST_PAD_PROBE_OK;
}

} // namespace

void PresentationTimes::attach(GstElement* videoSink, const std::shared_ptr<PresentationTimes>& times)
{
    const gsthandles::PadPtr pad {gst_element_get_static_pad(videoSink, "sink")};
    if (!pad)
        return;
    const auto watch = std::make_shared<SinkWatch>(
        SinkWatch {times, {}, 0, gsthandles::CapsPtr(gst_caps_new_empty_simple("timestamp/x-ntp"))});
    gst_segment_init(&watch->segment, GST_FORMAT_UNDEFINED);
    gboolean sync = FALSE;
    if (g_object_class_find_property(G_OBJECT_GET_CLASS(videoSink), "max-lateness"))
        g_object_get(videoSink, "sync", &sync, "max-lateness", &watch->maxLatenessNs, nullptr);
    if (!sync)
        watch->maxLatenessNs = -1;
    gst_pad_add_probe(pad.get(),
                      static_cast<GstPadProbeType>(GST_PAD_PROBE_TYPE_BUFFER | GST_PAD_PROBE_TYPE_EVENT_BOTH),
                      onSinkPad, gsthandles::holdForCallback(watch), gsthandles::releaseHeld<SinkWatch>);
}

void PresentationTimes::framePrerolled(std::int64_t showWallUs)
{
    std::int64_t none = 0;
    m_firstFrameWallUs.compare_exchange_strong(none, showWallUs);
    frameOnScreen(showWallUs);
}

void PresentationTimes::frameShown(std::int64_t showWallUs, std::int64_t captureWallUs, bool onScreen)
{
    std::int64_t none = 0;
    m_firstFrameWallUs.compare_exchange_strong(none, showWallUs);
    m_latencyUs.store(captureWallUs > 0 ? showWallUs - captureWallUs : kNone);
    if (onScreen)
        frameOnScreen(showWallUs);
}

void PresentationTimes::frameOnScreen(std::int64_t showWallUs)
{
    // One streaming thread shows the frames: the count is only ever raised here.
    const std::uint64_t index = m_shownCount.load(std::memory_order_relaxed);
    m_shownWallUs[index % kShownRing].store(showWallUs, std::memory_order_relaxed);
    m_shownCount.store(index + 1, std::memory_order_release);
}

void PresentationTimes::fill(NetworkFigures& figures) const
{
    figures.firstFrameWallMs = m_firstFrameWallUs.load() / 1000;
    const std::int64_t latency = m_latencyUs.load();
    if (latency != kNone)
        figures.liveLatencyMs = static_cast<double>(latency) / 1000.0;
}

} // namespace zephyrscope

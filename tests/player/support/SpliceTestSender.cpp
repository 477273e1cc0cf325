#include "SpliceTestSender.h"

#define GST_USE_UNSTABLE_API
#include <gst/gst.h>
#include <gst/mpegts/mpegts.h>

#include <cmath>
#include <stdexcept>
#include <string>

namespace zephyrscope::testing {

namespace {

constexpr int kFps = 25;
constexpr std::uint16_t kSplicePid = 500;
constexpr std::int64_t kNsPerMs = 1000000;
// mpegtsmux writes its PCRs this far behind its timestamps (TSMUX_PCR_OFFSET in
// its tsmux.c: a decoder's buffer), so on the stream's own clock a picture
// takes effect that long after it is sent.
constexpr GstClockTime kMuxerPcrOffset = GST_SECOND / 8;

} // namespace

struct SpliceTestSender::Pipeline {
    GstElement* pipeline = nullptr;
    GstElement* mux = nullptr;
    ~Pipeline()
    {
        if (mux)
            gst_object_unref(mux);
        if (pipeline) {
            gst_element_set_state(pipeline, GST_STATE_NULL);
            gst_object_unref(pipeline);
        }
    }
};

SpliceTestSender::SpliceTestSender(std::uint16_t port, double seconds, std::vector<Splice> splices, int srtLatencyMs)
    : m_port(port)
    , m_seconds(seconds)
    , m_srtLatencyMs(srtLatencyMs)
    , m_splices(std::move(splices))
{
}

SpliceTestSender::~SpliceTestSender() = default;

std::vector<SpliceTestSender::Splice> SpliceTestSender::splices() const
{
    const std::lock_guard lock(m_mutex);
    return m_splices;
}

namespace {

struct ProbeData {
    SpliceTestSender* sender;
    GstElement* mux;
    std::mutex* mutex;
    std::vector<SpliceTestSender::Splice>* splices;
};

// The wall-clock time (ms) this pipeline reaches the running time at.
std::int64_t wallMsOf(GstElement* element, GstClockTime runningTime)
{
    GstClock* clock = gst_element_get_clock(element);
    const std::int64_t nowMs = g_get_real_time() / 1000;
    if (!clock)
        return nowMs;
    const auto at = static_cast<std::int64_t>(gst_element_get_base_time(element) + runningTime);
    const auto now = static_cast<std::int64_t>(gst_clock_get_time(clock));
    gst_object_unref(clock);
    return nowMs + (at - now) / kNsPerMs;
}

// At each picture entering the muxer: hands it the splices due by its running time.
GstPadProbeReturn onPicture(GstPad* pad, GstPadProbeInfo* info, gpointer user)
{
    auto& d = *static_cast<ProbeData*>(user);
    const GstBuffer* buffer = GST_PAD_PROBE_INFO_BUFFER(info);
    GstEvent* segmentEvent = gst_pad_get_sticky_event(pad, GST_EVENT_SEGMENT, 0);
    if (!buffer || !GST_BUFFER_PTS_IS_VALID(buffer) || !segmentEvent) {
        if (segmentEvent)
            gst_event_unref(segmentEvent);
        return GST_PAD_PROBE_OK;
    }
    // The encoder's timestamps carry an offset of their own: the running time is the segment's.
    const GstSegment* segment = nullptr;
    gst_event_parse_segment(segmentEvent, &segment);
    const GstClockTime running = gst_segment_to_running_time(segment, GST_FORMAT_TIME, GST_BUFFER_PTS(buffer));
    gst_event_unref(segmentEvent);
    if (!GST_CLOCK_TIME_IS_VALID(running))
        return GST_PAD_PROBE_OK;
    const auto runningMs = static_cast<std::int64_t>(running) / kNsPerMs;
    const std::lock_guard lock(*d.mutex);
    for (SpliceTestSender::Splice& s : *d.splices) {
        if (s.sent || runningMs < s.sendAtMs)
            continue;
        const GstClockTime at = static_cast<GstClockTime>(s.spliceAtMs) * kNsPerMs;
        GstMpegtsSCTESIT* sit = s.out
            ? gst_mpegts_scte_splice_out_new(s.eventId, at, static_cast<GstClockTime>(s.durationMs) * kNsPerMs)
            : gst_mpegts_scte_splice_in_new(s.eventId, at);
        GstMpegtsSection* section = gst_mpegts_section_from_scte_sit(sit, kSplicePid);
        gst_mpegts_section_send_event(section, d.mux);
        gst_mpegts_section_unref(section);
        // A synced sink puts a picture on the wire the pipeline's latency after
        // its running time; the stream's clock reaches it the PCR offset later.
        GstObject* pipeline = gst_element_get_parent(d.mux);
        const GstClockTime latency = pipeline ? gst_pipeline_get_latency(GST_PIPELINE(pipeline)) : 0;
        if (pipeline)
            gst_object_unref(pipeline);
        s.spliceWallMs = wallMsOf(d.mux, at + kMuxerPcrOffset + (GST_CLOCK_TIME_IS_VALID(latency) ? latency : 0));
        s.latencyMs = GST_CLOCK_TIME_IS_VALID(latency) ? static_cast<std::int64_t>(latency) / kNsPerMs : 0;
        s.sent = true;
        break; // the muxer keeps only the last section handed to it before its next output
    }
    return GST_PAD_PROBE_OK;
}

} // namespace

void SpliceTestSender::start()
{
    gst_init(nullptr, nullptr);
    gst_mpegts_initialize();
    const int frames = static_cast<int>(std::lround(m_seconds * kFps));
    // The SRT listener holds the stream until its caller is there, then keeps to the clock.
    const std::string sink = m_srtLatencyMs > 0
        ? "srtsink wait-for-connection=true uri=\"srt://127.0.0.1:" + std::to_string(m_port)
            + "?mode=listener&latency=" + std::to_string(m_srtLatencyMs) + "\""
        : "udpsink host=127.0.0.1 port=" + std::to_string(m_port);
    const std::string launch = "videotestsrc is-live=true pattern=ball num-buffers=" + std::to_string(frames)
        + " ! video/x-raw,format=I420,width=320,height=240,framerate=" + std::to_string(kFps)
        + "/1 ! x264enc tune=zerolatency speed-preset=ultrafast bitrate=500 key-int-max=25 ! h264parse"
        + " ! mpegtsmux name=mux alignment=7 scte-35-pid=" + std::to_string(kSplicePid)
        + " ! " + sink;
    GError* error = nullptr;
    GstElement* pipeline = gst_parse_launch(launch.c_str(), &error);
    const std::string reason = error ? error->message : "unknown";
    g_clear_error(&error);
    if (!pipeline)
        throw std::runtime_error("Cannot make pipeline 'splice sender': " + reason);
    m_pipeline = std::make_unique<Pipeline>();
    m_pipeline->pipeline = pipeline;
    m_pipeline->mux = gst_bin_get_by_name(GST_BIN(pipeline), "mux");
    GstPad* pad = m_pipeline->mux ? gst_element_get_static_pad(m_pipeline->mux, "sink_0") : nullptr;
    if (!pad) {
        // The parser links to the muxer's request pad at launch: the one sink pad.
        GstIterator* pads = m_pipeline->mux ? gst_element_iterate_sink_pads(m_pipeline->mux) : nullptr;
        GValue item = G_VALUE_INIT;
        if (pads && gst_iterator_next(pads, &item) == GST_ITERATOR_OK)
            pad = GST_PAD(g_value_dup_object(&item));
        g_value_unset(&item);
        if (pads)
            gst_iterator_free(pads);
    }
    if (!pad)
        throw std::runtime_error("Cannot make pipeline 'splice sender': the muxer has no sink pad");
    gst_pad_add_probe(pad, GST_PAD_PROBE_TYPE_BUFFER, onPicture,
                      new ProbeData {this, m_pipeline->mux, &m_mutex, &m_splices},
                      [](gpointer data) { delete static_cast<ProbeData*>(data); });
    gst_object_unref(pad);
    if (gst_element_set_state(pipeline, GST_STATE_PLAYING) == GST_STATE_CHANGE_FAILURE)
        throw std::runtime_error("Cannot start pipeline 'splice sender': state change failed");
}

} // namespace zephyrscope::testing

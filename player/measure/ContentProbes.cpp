#include "ContentProbes.h"

#include "GstHandles.h"

#include <gst/audio/audio.h>
#include <gst/video/video.h>

#include <ebur128.h>

#include <atomic>
#include <cstring>
#include <vector>

namespace zephyrscope {

using namespace gsthandles;

namespace {

constexpr int kSampleStep = 4; // every 4th pixel of every 4th row: 1/16 of the picture
constexpr std::int64_t kDefaultFrameUs = 40000;
// A render time further from now than this is not a clock to trust (a sink
// that does not sync plays as fast as it can).
constexpr std::int64_t kMaxAheadUs = 10 * 1000000LL;

// One sink's stream as its pad has seen it: its format, segment and latency,
// and the room its summaries are made in (reused from buffer to buffer).
// Touched by the sink's streaming thread alone, but for the latency.
struct SinkWatch {
    std::shared_ptr<StreamCounters> counters;
    GstElement* sink = nullptr; // the probe lives on its pad, so it outlives the probe
    // The pipeline's latency, which a synced sink waits for beyond a buffer's
    // running time (a live stream's: RTSP's jitter buffer). The pipeline hands it
    // to the sink, which passes it upstream through its pad, from whichever
    // thread distributes it: read here as it passes, so the streaming thread
    // neither queries nor locks the sink.
    std::atomic<GstClockTime> latency {0};
    bool video = true;
    bool known = false;
    GstVideoInfo videoInfo {};
    GstAudioInfo audioInfo {};
    GstSegment segment {};
    std::vector<std::uint8_t> luma;
    std::vector<float> sound;
};

void releaseWatch(gpointer data)
{
    delete static_cast<SinkWatch*>(data);
}

// When the sink shows a buffer of this running time, on the wall clock (us):
// its clock's distance to that time plus the latency from now, for a sink that
// waits for it.
std::int64_t wallUsOf(const SinkWatch& watch, GstClockTime runningTime)
{
    const std::int64_t now = g_get_real_time();
    ClockPtr clock {gst_element_get_clock(watch.sink)};
    if (!clock || !GST_CLOCK_TIME_IS_VALID(runningTime))
        return now;
    const GstClockTime renderAt
        = gst_element_get_base_time(watch.sink) + runningTime + watch.latency.load(std::memory_order_relaxed);
    const std::int64_t aheadUs
        = (static_cast<std::int64_t>(renderAt) - static_cast<std::int64_t>(gst_clock_get_time(clock.get()))) / 1000;
    return aheadUs > -kMaxAheadUs && aheadUs < kMaxAheadUs ? now + aheadUs : now;
}

// The luma of every kSampleStep-th pixel of every kSampleStep-th row, 8-bit;
// RGB pictures (a real sink's) weighed into luma by BT.601. False for a format
// it cannot read (tiled, big-endian deep).
bool sampleLuma(const GstVideoFrame& frame, std::vector<std::uint8_t>& out)
{
    const GstVideoFormatInfo* format = frame.info.finfo;
    if (GST_VIDEO_FORMAT_INFO_IS_TILED(format) || GST_VIDEO_FORMAT_INFO_IS_COMPLEX(format))
        return false;
    const bool rgb = GST_VIDEO_FORMAT_INFO_IS_RGB(format);
    const int comps = rgb ? 3 : 1;
    const guint8* data[3] {};
    int stride[3] {}, pstride[3] {}, depth[3] {}, shift[3] {};
    for (int c = 0; c < comps; ++c) {
        data[c] = static_cast<const guint8*>(GST_VIDEO_FRAME_COMP_DATA(&frame, c));
        stride[c] = GST_VIDEO_FRAME_COMP_STRIDE(&frame, c);
        pstride[c] = GST_VIDEO_FRAME_COMP_PSTRIDE(&frame, c);
        depth[c] = GST_VIDEO_FORMAT_INFO_DEPTH(format, c);
        shift[c] = GST_VIDEO_FORMAT_INFO_SHIFT(format, c);
        if (!data[c] || pstride[c] <= 0 || (depth[c] > 8 && (!GST_VIDEO_FORMAT_INFO_IS_LE(format) || pstride[c] < 2)))
            return false;
    }
    const int width = GST_VIDEO_FRAME_COMP_WIDTH(&frame, 0), height = GST_VIDEO_FRAME_COMP_HEIGHT(&frame, 0);
    out.clear();
    const auto read = [&](int c, int x, int y) -> int {
        const guint8* p = data[c] + static_cast<std::ptrdiff_t>(y) * stride[c] + static_cast<std::ptrdiff_t>(x) * pstride[c];
        if (depth[c] <= 8)
            return *p;
        guint16 v = 0;
        std::memcpy(&v, p, sizeof v);
        return (v >> shift[c]) >> (depth[c] - 8);
    };
    for (int y = kSampleStep / 2; y < height; y += kSampleStep)
        for (int x = kSampleStep / 2; x < width; x += kSampleStep)
            out.push_back(static_cast<std::uint8_t>(
                rgb ? (77 * read(0, x, y) + 150 * read(1, x, y) + 29 * read(2, x, y)) >> 8 : read(0, x, y)));
    return !out.empty();
}

void onPicture(SinkWatch& watch, GstBuffer* buffer)
{
    const GstClockTime pts = GST_BUFFER_PTS(buffer);
    if (!watch.known || !GST_CLOCK_TIME_IS_VALID(pts))
        return;
    GstVideoFrame frame;
    if (!gst_video_frame_map(&frame, &watch.videoInfo, buffer, GST_MAP_READ))
        return;
    const bool sampled = sampleLuma(frame, watch.luma);
    gst_video_frame_unmap(&frame);
    if (!sampled)
        return;
    const GstClockTime running = gst_segment_to_running_time(&watch.segment, GST_FORMAT_TIME, pts);
    if (!GST_CLOCK_TIME_IS_VALID(running))
        return;
    std::int64_t durationUs = kDefaultFrameUs;
    if (GST_BUFFER_DURATION_IS_VALID(buffer))
        durationUs = static_cast<std::int64_t>(GST_BUFFER_DURATION(buffer) / 1000);
    else if (watch.videoInfo.fps_n > 0)
        durationUs = static_cast<std::int64_t>(gst_util_uint64_scale_int(1000000, watch.videoInfo.fps_d,
                                                                          watch.videoInfo.fps_n));
    const bool fullRange = GST_VIDEO_INFO_IS_RGB(&watch.videoInfo)
        || watch.videoInfo.colorimetry.range == GST_VIDEO_COLOR_RANGE_0_255;
    watch.counters->content().pictureShown(watch.luma, fullRange ? 0 : 16, fullRange ? 255 : 235,
                                           static_cast<std::int64_t>(running / 1000), durationUs,
                                           wallUsOf(watch, running));
}

template <typename T>
void toFloat(const GstAudioBuffer& audio, int channels, std::vector<float>& out, float scale)
{
    const std::size_t frames = audio.n_samples;
    out.resize(frames * static_cast<std::size_t>(channels));
    const bool planar = GST_AUDIO_INFO_LAYOUT(&audio.info) == GST_AUDIO_LAYOUT_NON_INTERLEAVED;
    for (int c = 0; c < channels; ++c) {
        const T* in = static_cast<const T*>(audio.planes[planar ? c : 0]);
        const std::size_t step = planar ? 1 : static_cast<std::size_t>(channels);
        const std::size_t offset = planar ? 0 : static_cast<std::size_t>(c);
        for (std::size_t i = 0; i < frames; ++i)
            out[i * static_cast<std::size_t>(channels) + static_cast<std::size_t>(c)]
                = static_cast<float>(in[i * step + offset]) * scale;
    }
}

void onSound(SinkWatch& watch, GstBuffer* buffer)
{
    const GstClockTime pts = GST_BUFFER_PTS(buffer);
    if (!watch.known || !GST_CLOCK_TIME_IS_VALID(pts))
        return;
    GstAudioBuffer audio;
    if (!gst_audio_buffer_map(&audio, &watch.audioInfo, buffer, GST_MAP_READ))
        return;
    const int channels = GST_AUDIO_INFO_CHANNELS(&watch.audioInfo);
    bool read = true;
    switch (GST_AUDIO_INFO_FORMAT(&watch.audioInfo)) {
    case GST_AUDIO_FORMAT_F32:
        toFloat<float>(audio, channels, watch.sound, 1.0f);
        break;
    case GST_AUDIO_FORMAT_F64:
        toFloat<double>(audio, channels, watch.sound, 1.0f);
        break;
    case GST_AUDIO_FORMAT_S16:
        toFloat<gint16>(audio, channels, watch.sound, 1.0f / 32768.0f);
        break;
    case GST_AUDIO_FORMAT_S32:
        toFloat<gint32>(audio, channels, watch.sound, 1.0f / 2147483648.0f);
        break;
    default:
        read = false;
        break;
    }
    gst_audio_buffer_unmap(&audio);
    const GstClockTime running = gst_segment_to_running_time(&watch.segment, GST_FORMAT_TIME, pts);
    if (read && GST_CLOCK_TIME_IS_VALID(running))
        watch.counters->content().soundPlayed(watch.sound, static_cast<std::int64_t>(running / 1000),
                                              wallUsOf(watch, running));
}

// What BS.1770 weighs a channel as: the front pair, the centre, the surrounds;
// the low-frequency channel not at all.
LoudnessMeter::Channel loudnessChannel(GstAudioChannelPosition position, int channels)
{
    switch (position) {
    case GST_AUDIO_CHANNEL_POSITION_MONO:
        return EBUR128_LEFT;
    case GST_AUDIO_CHANNEL_POSITION_FRONT_LEFT:
        return EBUR128_LEFT;
    case GST_AUDIO_CHANNEL_POSITION_FRONT_RIGHT:
        return EBUR128_RIGHT;
    case GST_AUDIO_CHANNEL_POSITION_FRONT_CENTER:
        return EBUR128_CENTER;
    case GST_AUDIO_CHANNEL_POSITION_REAR_LEFT:
    case GST_AUDIO_CHANNEL_POSITION_SIDE_LEFT:
        return EBUR128_LEFT_SURROUND;
    case GST_AUDIO_CHANNEL_POSITION_REAR_RIGHT:
    case GST_AUDIO_CHANNEL_POSITION_SIDE_RIGHT:
        return EBUR128_RIGHT_SURROUND;
    case GST_AUDIO_CHANNEL_POSITION_LFE1:
        return EBUR128_UNUSED;
    default:
        return channels <= 2 ? EBUR128_LEFT : EBUR128_UNUSED;
    }
}

void onCaps(SinkWatch& watch, GstCaps* caps)
{
    if (watch.video) {
        watch.known = gst_video_info_from_caps(&watch.videoInfo, caps);
        return;
    }
    watch.known = gst_audio_info_from_caps(&watch.audioInfo, caps);
    if (!watch.known)
        return;
    const int channels = GST_AUDIO_INFO_CHANNELS(&watch.audioInfo);
    std::vector<LoudnessMeter::Channel> kinds;
    for (int c = 0; c < channels; ++c)
        kinds.push_back(loudnessChannel(watch.audioInfo.position[c], channels));
    watch.counters->content().soundFormat(static_cast<unsigned>(GST_AUDIO_INFO_RATE(&watch.audioInfo)), kinds);
}

void ended(SinkWatch& watch)
{
    if (watch.video)
        watch.counters->content().picturesEnded();
    else
        watch.counters->content().soundEnded();
}

GstPadProbeReturn onSinkPad(GstPad*, GstPadProbeInfo* info, gpointer data)
{
    SinkWatch& watch = *static_cast<SinkWatch*>(data);
    if (info->type & GST_PAD_PROBE_TYPE_BUFFER) {
        GstBuffer* buffer = GST_PAD_PROBE_INFO_BUFFER(info);
        if (watch.video)
            onPicture(watch, buffer);
        else
            onSound(watch, buffer);
        return GST_PAD_PROBE_OK;
    }
    GstEvent* event = GST_PAD_PROBE_INFO_EVENT(info);
    if (info->type & GST_PAD_PROBE_TYPE_EVENT_UPSTREAM) {
        if (GST_EVENT_TYPE(event) == GST_EVENT_LATENCY) {
            GstClockTime latency = 0;
            gst_event_parse_latency(event, &latency);
            watch.latency.store(GST_CLOCK_TIME_IS_VALID(latency) ? latency : 0, std::memory_order_relaxed);
        }
        return GST_PAD_PROBE_OK;
    }
    switch (GST_EVENT_TYPE(event)) {
    case GST_EVENT_CAPS: {
        GstCaps* caps = nullptr;
        gst_event_parse_caps(event, &caps);
        if (caps)
            onCaps(watch, caps);
        break;
    }
    case GST_EVENT_SEGMENT:
        gst_event_copy_segment(event, &watch.segment);
        break;
    case GST_EVENT_EOS:
    case GST_EVENT_FLUSH_STOP:
        ended(watch);
        break;
    default:
        break;
    }
    return GST_PAD_PROBE_OK;
}

void watchSink(GstElement* sink, bool video, const std::shared_ptr<StreamCounters>& counters)
{
    if (!sink)
        return;
    PadPtr pad {gst_element_get_static_pad(sink, "sink")};
    if (!pad)
        return;
    auto* watch = new SinkWatch;
    watch->counters = counters;
    watch->sink = sink;
    watch->video = video;
    gst_segment_init(&watch->segment, GST_FORMAT_TIME);
    gst_pad_add_probe(pad.get(),
                      static_cast<GstPadProbeType>(GST_PAD_PROBE_TYPE_BUFFER | GST_PAD_PROBE_TYPE_EVENT_BOTH),
                      onSinkPad, watch, releaseWatch);
}

} // namespace

void ContentProbes::attach(GstElement* videoSink, GstElement* audioSink, const std::shared_ptr<StreamCounters>& counters)
{
    watchSink(videoSink, true, counters);
    watchSink(audioSink, false, counters);
}

} // namespace zephyrscope

#include "ContentProbes.h"

#include "GstHandles.h"

#include <gst/audio/audio.h>
#include <gst/video/video.h>

#include <ebur128.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <optional>
#include <type_traits>
#include <vector>

namespace zephyrscope {

using namespace gsthandles;

namespace {

constexpr int kSampleStep = 4; // every 4th pixel of every 4th row: 1/16 of the picture
constexpr int kPrefetchRows = 2; // sampled rows ahead
constexpr std::ptrdiff_t kCacheLine = 64;
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

// One plane of a picture mapped read-only where it lies, and nothing else of
// it: the memory holding that plane, found through the buffer's video meta
// when it has one (a decoder's planes may sit anywhere), else at the offset
// the caps give. No copy for memory in the system's RAM.
class PlaneMapping {
public:
    PlaneMapping(GstBuffer* buffer, const GstVideoInfo& info, guint plane)
        : m_plane(plane)
    {
        m_meta = gst_buffer_get_video_meta(buffer);
        if (m_meta) {
            if (plane < m_meta->n_planes)
                m_mapped = gst_video_meta_map(m_meta, plane, &m_map, &m_data, &m_stride, GST_MAP_READ);
            return;
        }
        m_buffer = buffer;
        const gsize offset = GST_VIDEO_INFO_PLANE_OFFSET(&info, plane);
        const gsize end = plane + 1 < GST_VIDEO_INFO_N_PLANES(&info) ? GST_VIDEO_INFO_PLANE_OFFSET(&info, plane + 1)
                                                                     : GST_VIDEO_INFO_SIZE(&info);
        guint index = 0, length = 0;
        gsize skip = 0;
        if (end <= offset || !gst_buffer_find_memory(buffer, offset, end - offset, &index, &length, &skip))
            return;
        m_mapped = gst_buffer_map_range(buffer, index, static_cast<gint>(length), &m_map, GST_MAP_READ);
        m_data = m_mapped ? m_map.data + skip : nullptr;
        m_stride = GST_VIDEO_INFO_PLANE_STRIDE(&info, plane);
    }
    ~PlaneMapping()
    {
        if (!m_mapped)
            return;
        if (m_meta)
            gst_video_meta_unmap(m_meta, m_plane, &m_map);
        else
            gst_buffer_unmap(m_buffer, &m_map);
    }
    PlaneMapping(const PlaneMapping&) = delete;
    PlaneMapping& operator=(const PlaneMapping&) = delete;

    const guint8* data() const { return m_mapped ? static_cast<const guint8*>(m_data) : nullptr; }
    int stride() const { return m_stride; }

private:
    guint m_plane;
    GstVideoMeta* m_meta = nullptr;
    GstBuffer* m_buffer = nullptr;
    GstMapInfo m_map GST_MAP_INFO_INIT;
    gboolean m_mapped = FALSE;
    gpointer m_data = nullptr;
    gint m_stride = 0;
};

// The luma of every kSampleStep-th pixel of every kSampleStep-th row, 8-bit,
// read in place from the planes that hold it alone (the luma plane; an RGB
// picture's, weighed into luma by BT.601, for a real sink's RGB). False for a
// format it cannot read (tiled, big-endian deep).
bool sampleLuma(GstBuffer* buffer, const GstVideoInfo& info, std::vector<std::uint8_t>& out)
{
    const GstVideoFormatInfo* format = info.finfo;
    if (!format || GST_VIDEO_FORMAT_INFO_IS_TILED(format) || GST_VIDEO_FORMAT_INFO_IS_COMPLEX(format))
        return false;
    const bool rgb = GST_VIDEO_FORMAT_INFO_IS_RGB(format);
    const int comps = rgb ? 3 : 1;
    std::optional<PlaneMapping> planes[GST_VIDEO_MAX_PLANES];
    const guint8* data[3] {};
    int stride[3] {}, pstride[3] {}, depth[3] {}, shift[3] {};
    for (int c = 0; c < comps; ++c) {
        const guint plane = GST_VIDEO_FORMAT_INFO_PLANE(format, c);
        if (plane >= GST_VIDEO_MAX_PLANES)
            return false;
        if (!planes[plane])
            planes[plane].emplace(buffer, info, plane);
        if (!planes[plane]->data())
            return false;
        data[c] = planes[plane]->data() + GST_VIDEO_FORMAT_INFO_POFFSET(format, c);
        stride[c] = planes[plane]->stride();
        pstride[c] = GST_VIDEO_FORMAT_INFO_PSTRIDE(format, c);
        depth[c] = GST_VIDEO_FORMAT_INFO_DEPTH(format, c);
        shift[c] = GST_VIDEO_FORMAT_INFO_SHIFT(format, c);
        if (pstride[c] <= 0 || (depth[c] > 8 && (!GST_VIDEO_FORMAT_INFO_IS_LE(format) || pstride[c] < 2)))
            return false;
    }
    const int width = GST_VIDEO_INFO_COMP_WIDTH(&info, 0), height = GST_VIDEO_INFO_COMP_HEIGHT(&info, 0);
    constexpr int kFirst = kSampleStep / 2;
    const int columns = width > kFirst ? (width - kFirst + kSampleStep - 1) / kSampleStep : 0;
    const int rows = height > kFirst ? (height - kFirst + kSampleStep - 1) / kSampleStep : 0;
    out.resize(static_cast<std::size_t>(columns) * static_cast<std::size_t>(rows));
    std::uint8_t* sample = out.data();
    if (!rgb) {
        // The usual case, luma alone: every kSampleStep-th sample of a row,
        // 8-bit or deeper (little-endian), the deeper ones cut to 8 bits.
        const std::ptrdiff_t step = static_cast<std::ptrdiff_t>(kSampleStep) * pstride[0];
        const int cut = depth[0] > 8 ? shift[0] + depth[0] - 8 : 0;
        const std::ptrdiff_t rowBytes = static_cast<std::ptrdiff_t>(columns) * step;
        for (int y = kFirst; y < height; y += kSampleStep) {
            const guint8* p = data[0] + static_cast<std::ptrdiff_t>(y) * stride[0]
                + static_cast<std::ptrdiff_t>(kFirst) * pstride[0];
            // The picture is seldom still in the cache: ask for the rows
            // ahead while this one is read.
            if (y + kPrefetchRows * kSampleStep < height)
                for (std::ptrdiff_t b = 0; b < rowBytes; b += kCacheLine)
                    __builtin_prefetch(p + kPrefetchRows * kSampleStep * static_cast<std::ptrdiff_t>(stride[0]) + b);
            if (depth[0] <= 8) {
                for (int i = 0; i < columns; ++i, p += step)
                    *sample++ = *p;
            } else {
                for (int i = 0; i < columns; ++i, p += step) {
                    guint16 v = 0;
                    std::memcpy(&v, p, sizeof v);
                    *sample++ = static_cast<std::uint8_t>(v >> cut);
                }
            }
        }
        return !out.empty();
    }
    const auto read = [&](int c, int x, int y) -> int {
        const guint8* p = data[c] + static_cast<std::ptrdiff_t>(y) * stride[c] + static_cast<std::ptrdiff_t>(x) * pstride[c];
        if (depth[c] <= 8)
            return *p;
        guint16 v = 0;
        std::memcpy(&v, p, sizeof v);
        return (v >> shift[c]) >> (depth[c] - 8);
    };
    for (int y = kFirst; y < height; y += kSampleStep)
        for (int x = kFirst; x < width; x += kSampleStep)
            *sample++ = static_cast<std::uint8_t>(
                rgb ? (77 * read(0, x, y) + 150 * read(1, x, y) + 29 * read(2, x, y)) >> 8 : read(0, x, y));
    return !out.empty();
}

void onPicture(SinkWatch& watch, GstBuffer* buffer)
{
    const GstClockTime pts = GST_BUFFER_PTS(buffer);
    if (!watch.known || !GST_CLOCK_TIME_IS_VALID(pts))
        return;
    if (!sampleLuma(buffer, watch.videoInfo, watch.luma))
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
                                           static_cast<std::int64_t>(running / 1000), durationUs, wallUsOf(watch, running),
                                           GST_BUFFER_FLAG_IS_SET(buffer, GST_BUFFER_FLAG_CORRUPTED));
}

// The sample formats the sound is read in, as GStreamer names them.
constexpr std::pair<GstAudioFormat, SoundSamples::Format> kSoundFormats[] = {
    {GST_AUDIO_FORMAT_F32, SoundSamples::Format::Float32},
    {GST_AUDIO_FORMAT_F64, SoundSamples::Format::Float64},
    {GST_AUDIO_FORMAT_S16, SoundSamples::Format::Int16},
    {GST_AUDIO_FORMAT_S32, SoundSamples::Format::Int32},
};

// A planar block's samples, interleaved as floats (libebur128 reads
// interleaved samples alone).
template <typename T>
void interleave(const GstAudioBuffer& audio, int channels, std::vector<float>& out, float scale)
{
    const std::size_t frames = audio.n_samples;
    out.resize(frames * static_cast<std::size_t>(channels));
    for (int c = 0; c < channels; ++c) {
        const T* in = static_cast<const T*>(audio.planes[c]);
        for (std::size_t i = 0; i < frames; ++i)
            out[i * static_cast<std::size_t>(channels) + static_cast<std::size_t>(c)] = static_cast<float>(in[i]) * scale;
    }
}

void onSound(SinkWatch& watch, GstBuffer* buffer)
{
    const GstClockTime pts = GST_BUFFER_PTS(buffer);
    if (!watch.known || !GST_CLOCK_TIME_IS_VALID(pts))
        return;
    const GstClockTime running = gst_segment_to_running_time(&watch.segment, GST_FORMAT_TIME, pts);
    if (!GST_CLOCK_TIME_IS_VALID(running))
        return;
    const auto format = std::ranges::find_if(
        kSoundFormats, [&](const auto& known) { return known.first == GST_AUDIO_INFO_FORMAT(&watch.audioInfo); });
    if (format == std::ranges::end(kSoundFormats))
        return;
    SoundSamples samples;
    samples.format = format->second;
    GstAudioBuffer audio;
    if (!gst_audio_buffer_map(&audio, &watch.audioInfo, buffer, GST_MAP_READ))
        return;
    const int channels = GST_AUDIO_INFO_CHANNELS(&watch.audioInfo);
    samples.frames = audio.n_samples;
    if (GST_AUDIO_INFO_LAYOUT(&watch.audioInfo) == GST_AUDIO_LAYOUT_INTERLEAVED) {
        samples.data = audio.planes[0];
    } else {
        samples.read([&](const auto* data, float toFloat) {
            using Sample = std::remove_cv_t<std::remove_pointer_t<decltype(data)>>;
            interleave<Sample>(audio, channels, watch.sound, toFloat);
        });
        samples.format = SoundSamples::Format::Float32;
        samples.data = watch.sound.data();
    }
    watch.counters->content().soundPlayed(samples, static_cast<std::int64_t>(running / 1000),
                                          wallUsOf(watch, running));
    gst_audio_buffer_unmap(&audio);
}

// What BS.1770 weighs a channel as: the front pair, the centre, the surrounds;
// the low-frequency channel not at all.
LoudnessMeter::Channel loudnessChannel(GstAudioChannelPosition position, int channels)
{
    switch (position) {
    case GST_AUDIO_CHANNEL_POSITION_MONO:
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
    SinkWatch& watch = heldState<SinkWatch>(data);
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
    const auto watch = std::make_shared<SinkWatch>();
    watch->counters = counters;
    watch->sink = sink;
    watch->video = video;
    gst_segment_init(&watch->segment, GST_FORMAT_TIME);
    gst_pad_add_probe(pad.get(),
                      static_cast<GstPadProbeType>(GST_PAD_PROBE_TYPE_BUFFER | GST_PAD_PROBE_TYPE_EVENT_BOTH),
                      onSinkPad, holdForCallback(watch), releaseHeld<SinkWatch>);
}

} // namespace

void ContentProbes::attach(GstElement* videoSink, GstElement* audioSink, const std::shared_ptr<StreamCounters>& counters)
{
    watchSink(videoSink, true, counters);
    watchSink(audioSink, false, counters);
}

} // namespace zephyrscope

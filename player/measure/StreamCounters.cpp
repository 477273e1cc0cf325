#include "StreamCounters.h"

#include "MediaUrl.h"

#include <gst/gst.h>

#include <algorithm>
#include <utility>

namespace zephyrscope {

namespace {
constexpr std::int64_t kRateWindowUs = 1000000; // the frame rate is taken over about one second
constexpr std::size_t kMaxManifestBytes = 1 << 20; // a master playlist or MPD is far smaller
constexpr std::size_t kMaxManifestsFetched = 16;   // a master's variants and renditions, and more

// Playlists and manifests, as opposed to media segments, by the path's extension.
bool isManifest(const std::string& uri)
{
    const std::string ext = MediaUrl::extension(uri);
    return ext == "m3u8" || ext == "m3u" || ext == "mpd" || ext == "ism" || ext == "isml"
        || uri.substr(0, uri.find_first_of("?#")).find("/Manifest") != std::string::npos;
}
} // namespace

void StreamCounters::manifestData(const char* data, std::size_t size)
{
    std::lock_guard lock(m_adaptiveMutex);
    if (m_manifest.empty())
        m_manifestArrivedUs = g_get_real_time();
    if (m_manifestCut)
        return;
    if (m_manifest.size() + size <= kMaxManifestBytes) {
        m_manifest.append(data, size);
        return;
    }
    // Cut once, at the last line end before the bound when there is one, and
    // read nothing after: a later, smaller chunk would leave a hole.
    m_manifest.append(data, kMaxManifestBytes - m_manifest.size());
    if (const auto lineEnd = m_manifest.rfind('\n'); lineEnd != std::string::npos)
        m_manifest.resize(lineEnd + 1);
    m_manifestCut = true;
    g_printerr("Cannot read all of the stream's manifest: it is larger than %zu MiB; the variants in its first "
               "%zu MiB are used\n",
               kMaxManifestBytes >> 20, kMaxManifestBytes >> 20);
}

void StreamCounters::requestFinished(const std::string& uri, unsigned status, const std::string& reason,
                                     std::uint64_t bytes, std::int64_t durationUs)
{
    const bool manifest = isManifest(uri);
    if (status >= 200 && status < 300) {
        if (!manifest) {
            ++m_segmentsReceived;
            m_segmentBytes.fetch_add(bytes, std::memory_order_relaxed);
            std::lock_guard lock(m_adaptiveMutex);
            if (durationUs > 0 && bytes > 0)
                m_lastSegment = {durationUs, bytes};
            // The demuxer went on past a failure (or a retry came through): that
            // failure did not end the stream, and a retried segment was not lost.
            m_failedSegments.erase(uri);
            m_lastSegmentFailure.clear();
            m_segmentFailingSinceUs = 0;
            return;
        }
        m_bytes.fetch_add(bytes, std::memory_order_relaxed);
        m_playlistBytes.fetch_add(bytes, std::memory_order_relaxed);
        std::lock_guard lock(m_adaptiveMutex);
        m_variantRequested = uri;
        if (m_manifestsFetched.size() < kMaxManifestsFetched
            && std::find(m_manifestsFetched.begin(), m_manifestsFetched.end(), uri) == m_manifestsFetched.end())
            m_manifestsFetched.push_back(uri);
    } else if (status >= 400 && !manifest) {
        std::lock_guard lock(m_adaptiveMutex);
        m_failedSegments.insert(uri);
        if (m_lastSegmentFailure.empty())
            m_segmentFailingSinceUs = g_get_monotonic_time();
        m_lastSegmentFailure = "Cannot download segment '" + uri + "': " + std::to_string(status)
            + (reason.empty() ? "" : " " + reason);
    }
}

std::vector<std::string> StreamCounters::takeManifestsFetched()
{
    std::lock_guard lock(m_adaptiveMutex);
    return std::exchange(m_manifestsFetched, {});
}

void StreamCounters::frameArrived(std::int64_t monotonicUs)
{
    accessUnitArrived(monotonicUs, -1, 0);
}

void StreamCounters::accessUnitArrived(std::int64_t monotonicUs, std::int64_t streamUs, std::int64_t frameUs)
{
    if (streamUs >= 0)
        m_framesMissing.fetch_add(m_gaps.add(streamUs, frameUs), std::memory_order_relaxed);
    const std::uint64_t index = m_frames.load(std::memory_order_relaxed);
    if (index == 0)
        m_firstFrameUs.store(monotonicUs, std::memory_order_relaxed);
    m_frameTimesUs[index % kFrameRing].store(monotonicUs, std::memory_order_relaxed);
    m_streamTimesUs[index % kFrameRing].store(streamUs, std::memory_order_relaxed);
    m_frames.store(index + 1, std::memory_order_release);
}

std::int32_t StreamCounters::startupMs() const
{
    const std::int64_t first = m_firstFrameUs.load(std::memory_order_relaxed);
    const std::int64_t opened = m_openRequestedUs.load(std::memory_order_relaxed);
    if (first == 0 || opened == 0 || first < opened)
        return 0;
    return static_cast<std::int32_t>((first - opened) / 1000);
}

std::int64_t StreamCounters::lastFrameUs() const
{
    const std::uint64_t count = m_frames.load(std::memory_order_acquire);
    return count == 0 ? 0 : m_frameTimesUs[(count - 1) % kFrameRing].load(std::memory_order_relaxed);
}

void StreamCounters::dataArrived(std::uint64_t bytes, std::uint64_t buffers)
{
    m_bytes.fetch_add(bytes, std::memory_order_relaxed);
    m_buffers.fetch_add(buffers, std::memory_order_relaxed);
}

void StreamCounters::videoFormat(int width, int height, int fpsNumerator, int fpsDenominator)
{
    m_width.store(width);
    m_height.store(height);
    m_fpsN.store(fpsNumerator);
    m_fpsD.store(fpsDenominator > 0 ? fpsDenominator : 1);
    m_videoKnown.store(true, std::memory_order_release);
}

StreamCounters::FrameWindow StreamCounters::frameWindow(std::int64_t nowUs) const
{
    const std::uint64_t count = m_frames.load(std::memory_order_acquire);
    if (count < 2)
        return {};
    const std::int64_t last = m_frameTimesUs[(count - 1) % kFrameRing].load(std::memory_order_relaxed);
    if (nowUs - last > kRateWindowUs)
        return {}; // nothing rendered for a second: the picture stands still
    std::uint64_t frames = 1;
    // Walk back over the frames of the window; stay well inside the ring so a
    // writer cannot lap the reader.
    for (std::uint64_t i = count - 1; i > 0 && frames < kFrameRing / 2; --i) {
        const std::int64_t t = m_frameTimesUs[(i - 1) % kFrameRing].load(std::memory_order_relaxed);
        if (t < nowUs - kRateWindowUs || t > last)
            break;
        ++frames;
    }
    return {count - 1, frames};
}

std::int32_t StreamCounters::frameRateTimes100(std::int64_t nowUs) const
{
    const FrameWindow window = frameWindow(nowUs);
    if (window.count < 2)
        return 0;
    const std::int64_t last = m_frameTimesUs[window.last % kFrameRing].load(std::memory_order_relaxed);
    const std::int64_t first
        = m_frameTimesUs[(window.last + 1 - window.count) % kFrameRing].load(std::memory_order_relaxed);
    if (last <= first)
        return 0;
    const double fps = static_cast<double>(window.count - 1) * 1e6 / static_cast<double>(last - first);
    return static_cast<std::int32_t>(fps * 100.0 + 0.5);
}

std::int32_t StreamCounters::streamFrameRateTimes100(std::int64_t nowUs) const
{
    const FrameWindow window = frameWindow(nowUs);
    if (window.count < 2)
        return 0;
    // The earliest and latest decoding time among them, and how many frames
    // they hold: a unit less than half a frame after the last counted (the
    // fields of a frame, or a damaged unit the parser split in two) is of the
    // same frame. A stream that starts again inside the window shows as a span
    // longer than the window, and gives no rate.
    const int fpsN = m_fpsN.load(), fpsD = m_fpsD.load();
    const std::int64_t halfFrameUs = fpsN > 0 ? static_cast<std::int64_t>(500000.0 * fpsD / fpsN) : 1;
    std::int64_t earliest = -1, latest = -1, counted = -1;
    std::uint64_t frames = 0;
    for (std::uint64_t i = window.count; i > 0; --i) {
        const std::int64_t t = m_streamTimesUs[(window.last + 1 - i) % kFrameRing].load(std::memory_order_relaxed);
        if (t < 0)
            return 0;
        if (counted < 0 || t - counted >= halfFrameUs || t < counted) {
            ++frames;
            counted = t;
        }
        earliest = earliest < 0 ? t : std::min(earliest, t);
        latest = std::max(latest, t);
    }
    if (frames < 2 || latest <= earliest || latest - earliest > 2 * kRateWindowUs)
        return 0;
    const double fps = static_cast<double>(frames - 1) * 1e6 / static_cast<double>(latest - earliest);
    return static_cast<std::int32_t>(fps * 100.0 + 0.5);
}

void StreamCounters::setSource(GstElement* source)
{
    std::lock_guard lock(m_sourceMutex);
    m_source.reset(source ? GST_ELEMENT(gst_object_ref(source)) : nullptr);
}

GstElement* StreamCounters::source() const
{
    std::lock_guard lock(m_sourceMutex);
    return m_source ? GST_ELEMENT(gst_object_ref(m_source.get())) : nullptr;
}

} // namespace zephyrscope

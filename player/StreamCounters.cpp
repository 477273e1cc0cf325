#include "StreamCounters.h"

#include <gst/gst.h>

namespace zephyrscope {

namespace {
constexpr std::int64_t kRateWindowUs = 1000000; // the frame rate is taken over about one second
}

StreamCounters::~StreamCounters()
{
    if (m_source)
        gst_object_unref(m_source);
}

void StreamCounters::frameArrived(std::int64_t monotonicUs)
{
    const std::uint64_t index = m_frames.load(std::memory_order_relaxed);
    m_frameTimesUs[index % kFrameRing].store(monotonicUs, std::memory_order_relaxed);
    m_frames.store(index + 1, std::memory_order_release);
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

std::int32_t StreamCounters::frameRateTimes100(std::int64_t nowUs) const
{
    const std::uint64_t count = m_frames.load(std::memory_order_acquire);
    if (count < 2)
        return 0;
    const std::int64_t last = m_frameTimesUs[(count - 1) % kFrameRing].load(std::memory_order_relaxed);
    if (nowUs - last > kRateWindowUs)
        return 0; // nothing rendered for a second: the picture stands still
    std::int64_t first = last;
    std::uint64_t frames = 1;
    // Walk back over the frames of the window; stay well inside the ring so a
    // writer cannot lap the reader.
    for (std::uint64_t i = count - 1; i > 0 && frames < kFrameRing / 2; --i) {
        const std::int64_t t = m_frameTimesUs[(i - 1) % kFrameRing].load(std::memory_order_relaxed);
        if (t < nowUs - kRateWindowUs || t > last)
            break;
        first = t;
        ++frames;
    }
    if (frames < 2 || last <= first)
        return 0;
    const double fps = static_cast<double>(frames - 1) * 1e6 / static_cast<double>(last - first);
    return static_cast<std::int32_t>(fps * 100.0 + 0.5);
}

void StreamCounters::setSource(GstElement* source)
{
    std::lock_guard lock(m_sourceMutex);
    if (m_source)
        gst_object_unref(m_source);
    m_source = source ? GST_ELEMENT(gst_object_ref(source)) : nullptr;
}

GstElement* StreamCounters::source() const
{
    std::lock_guard lock(m_sourceMutex);
    return m_source ? GST_ELEMENT(gst_object_ref(m_source)) : nullptr;
}

} // namespace zephyrscope

#pragma once

// When frames of one entry reach the screen, and how far behind their source's
// wall clock they are. Fed by a probe on the video sink (streaming thread, atomics
// only); read on the main loop into the entry's figures. Private to player/.

#include "NetworkFigures.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdint>
#include <memory>

typedef struct _GstElement GstElement;
typedef struct _GstBuffer GstBuffer;

namespace zephyrscope {

class PresentationTimes {
public:
    // Watches the frames reaching videoSink, and when each was captured: from
    // the sender's wall clock a source stamps on its buffers (an NTP reference
    // timestamp), else from the dates a protocol hands in (segmentDateTime,
    // streamStartDateTime). The protocols that carry a wall clock set their
    // sources up to give it (their descriptors' hooks). times lives as long as
    // the probes need it.
    static void attach(GstElement* videoSink, const std::shared_ptr<PresentationTimes>& times);

    // Streaming thread: a frame will be shown at showWallUs (us since 1970 UTC);
    // captureWallUs is when its source says it captured it, 0 when it does not say.
    // onScreen: false when the sink will drop it as too late.
    void frameShown(std::int64_t showWallUs, std::int64_t captureWallUs, bool onScreen = true);
    // Streaming thread: a frame put on screen at showWallUs as the sink prerolls.
    // It counts as shown, but leaves the latency as it was: the sink shows the
    // same frame again once Playing, when the pipeline latency has gone by, so
    // its latency at preroll would stand, too low, until the next frame.
    void framePrerolled(std::int64_t showWallUs);

    // Any thread: the source's wall clock for the next frame to reach the sink
    // (us since 1970 UTC), as an adaptive demuxer tells it when it starts a
    // segment; the frames after it are that much later as their stream time is.
    void segmentDateTime(std::int64_t wallUs) { m_pendingDateUs.store(wallUs); }
    // Any thread: the source's wall clock at stream time 0 (a live DASH
    // presentation's availability start), from which every frame's follows.
    void streamStartDateTime(std::int64_t wallUs) { m_streamStartUs.store(wallUs); }
    std::int64_t streamStartDateTime() const { return m_streamStartUs.load(); }
    // Sink's streaming thread: the date a segmentDateTime() gave, once (0: none new).
    std::int64_t takeSegmentDateTime() { return m_pendingDateUs.exchange(0); }

    // Any thread: when the last frame to reach the sink is (or was) shown, us
    // since 1970 UTC; 0 before any.
    std::int64_t lastShownWallUs() const
    {
        const std::uint64_t count = m_shownCount.load(std::memory_order_acquire);
        return count == 0 ? 0 : m_shownWallUs[(count - 1) % kShownRing].load(std::memory_order_relaxed);
    }

    // Main loop: the first frame's time and the latency of the last frame shown.
    void fill(NetworkFigures& figures) const;

    // Main loop: gives each frame put on screen after the first `seen` of them to shown
    // (its time as frameShown() had it), oldest first, and returns how many have
    // been shown in all. Frames too old for the ring are passed over.
    template <typename Shown>
    std::uint64_t framesAfter(std::uint64_t seen, Shown&& shown) const
    {
        const std::uint64_t count = m_shownCount.load(std::memory_order_acquire);
        for (std::uint64_t i = count - std::min<std::uint64_t>(count - seen, kShownRing); i < count; ++i)
            shown(m_shownWallUs[i % kShownRing].load(std::memory_order_relaxed));
        return count;
    }

private:
    void frameOnScreen(std::int64_t showWallUs);

    static constexpr std::int64_t kNone = INT64_MIN;
    // Frames are read every 100 ms: far more than that many at 240 fps.
    static constexpr std::size_t kShownRing = 64;
    std::array<std::atomic<std::int64_t>, kShownRing> m_shownWallUs {};
    std::atomic<std::uint64_t> m_shownCount {0};
    std::atomic<std::int64_t> m_firstFrameWallUs {0};
    std::atomic<std::int64_t> m_latencyUs {kNone};
    std::atomic<std::int64_t> m_pendingDateUs {0};
    std::atomic<std::int64_t> m_streamStartUs {0};
};

} // namespace zephyrscope

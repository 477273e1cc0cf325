#pragma once

// When an entry's picture really stopped and restarted around each stall, from
// the frames the video sink showed. The play state declares a stall only once
// its thresholds are crossed (DataFlowWatch: a second of silence, or seconds of
// a still picture), so its moments are those of the detection; this dates the
// stall back to the frame that did not come, and forward to the first that did.
// Pure: it is given every frame's time and the play state's changes, with the
// time; it never reads a clock. Private to player/.

#include <array>
#include <cstdint>

namespace zephyrscope {

class StallTiming {
public:
    // A stall as the picture saw it; times in us on the clock the frames' are on.
    struct Stall {
        std::int64_t sinceUs = 0;   // the next frame was due: the last shown + one frame interval
        std::int64_t resumedUs = 0; // the first new frame was shown; 0 while the picture stands
    };

    // A frame was (or will be, at its time) shown at us; frames come in order.
    void frameShown(std::int64_t us);
    // The play state left Playing for Buffering at nowUs; not a new stall while
    // the last one's first new frame is still to be shown. paused: the pipeline
    // was paused for its buffer to fill (a buffering message), so the frames it
    // shows before it plays again are no resumption; paused before the next
    // frame was due, that frame shows the pause's length after it was due.
    // Not paused, with a frame the sink already holds for a later time (a jitter
    // buffer re-timed a late burst to its arrival): the picture has stood since
    // the frame before it and moves again with it.
    void stallBegan(std::int64_t nowUs, bool paused);
    // The play state went back to Playing at nowUs; without a frame ever shown
    // (audio alone) the stall ends here.
    void stallOver(std::int64_t nowUs);

    // The stalls begun so far, and the last of them (zero before the first).
    std::int32_t count() const { return m_count; }
    const Stall& last() const { return m_last; }
    // The picture's frame interval, from the spacing of the last frames shown
    // (the median, so one late frame or an earlier gap does not move it); 0 before two frames.
    std::int64_t frameIntervalUs() const;

private:
    static constexpr std::size_t kIntervals = 9;
    std::array<std::int64_t, kIntervals> m_intervals {}; // a ring of the last spacings
    std::size_t m_intervalCount = 0;
    std::int64_t m_lastFrameUs = 0;
    std::int64_t m_previousFrameUs = 0; // the frame before the last

    std::int32_t m_count = 0;
    Stall m_last;
    bool m_open = false;          // the last stall's picture has not restarted yet
    bool m_waitForPlaying = false; // ... and frames before the play state's return do not count
    std::int64_t m_playingAgainUs = 0;
    std::int64_t m_heldUs = 0; // the next frame was due that long after the pause
};

} // namespace zephyrscope

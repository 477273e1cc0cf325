#pragma once

// Watches one entry's data and pictures while it plays and says when it has
// stalled, resumed, or waited too long. Pure: it is given the time and what
// the counters show, and only returns a verdict; the entry acts on it. Private
// to player/.

#include <cstdint>
#include <string>

namespace zephyrscope {

class DataFlowWatch {
public:
    // A live source silent for this long stalls: it sends continuously, so a
    // second without data is a stall, not a pause between packets ...
    static constexpr std::int64_t kLiveStallUs = 1000000;
    // ... once its picture stands still too: a jitter buffer (rtspsrc's holds
    // 2 s) plays on through a short silence.
    static constexpr std::int64_t kPictureStillUs = 500000;
    // A live picture standing still while its sink holds the next frame for at
    // least kLiveStallUs past its due time has stalled, though data still comes:
    // a jitter buffer re-timed a late burst to its arrival (rtpjitterbuffer does
    // past a second), and the picture stands that long for sure.
    // Any entry whose picture stands still this long while it plays has stalled,
    // whatever its source: no clip we play shows one picture for so long.
    static constexpr std::int64_t kFrozenPictureUs = 3000000;
    // hlsdemux2 (1.22) does not skip a live segment it cannot download: it asks
    // for it again every 10 ms until the playlist drops it, then ends the stream
    // there or aborts the process (an assertion in its playlist update). A segment
    // failing for this long ends the entry first; a VOD stream's demuxer gives up
    // within 50 ms. Upstream fixes: 52d577eee1 (1.24.0) and 7305659f95 (1.28.3); see docs/ARCHITECTURE.md.
    static constexpr std::int64_t kSegmentGiveUpUs = 1000000;
    // decodebin3 (1.22) now and then loses one stream's end of stream inside its
    // multiqueue when that stream's input ends first, as it does when a server
    // closes the connection after sending the whole file (HTTP/1.0): the sinks
    // play everything out, but no end of stream ever reaches the bus. A clip whose
    // position has stood this close to its end for kEndedStillUs has ended.
    // Upstream: closest is 701165227f "decodebin3: Remove custom EOS handling" (1.26.0), unconfirmed.
    static constexpr std::int64_t kEndToleranceUs = 500000;
    static constexpr std::int64_t kEndedStillUs = 1000000;

    enum class Verdict {
        None,
        Stall,          // show Buffering: the data or the picture stopped
        Resume,         // the stall this watch declared is over
        NoData,         // waited out the no-data timeout: fail with reason()
        SegmentGivenUp, // an adaptive segment kept failing: fail with the segment's failure
        Ended,          // the clip played to its end, though no end of stream came
    };

    // What the entry is doing, as far as the watch cares.
    enum class Phase { Other, Playing, Buffering };

    // What one look sees; times are monotonic microseconds.
    struct Sight {
        std::int64_t nowUs = 0;
        Phase phase = Phase::Other;
        bool network = false; // data arrives over a network (bytes are watched)
        bool live = false;
        std::uint64_t bytes = 0;
        bool videoKnown = false;
        std::int64_t lastFrameUs = 0;          // 0 before the first picture
        std::int64_t segmentFailingSinceUs = 0; // 0 when no segment is failing
        // A clip's length and the position played; 0 and -1 where unknown or live.
        std::int64_t durationUs = 0;
        std::int64_t positionUs = -1;
        // A frame the video sink holds for later: when it will show it (0: none),
        // and the picture's frame interval (0: unknown).
        std::int64_t heldFrameDueUs = 0;
        std::int64_t frameIntervalUs = 0;
    };

    explicit DataFlowWatch(std::int32_t noDataTimeoutMs);

    Verdict look(const Sight& sight);
    // Whether a look at this moment would use the position: the entry need not
    // ask the pipeline for it otherwise.
    static bool wantsPosition(const Sight& sight);
    // Why a NoData verdict fails the entry: "no data for N s" or "no picture for N s".
    const std::string& reason() const { return m_reason; }
    // Whether a stall this watch declared is still on.
    bool stalled() const { return m_stall != Stall::None; }

private:
    enum class Stall { None, Silence, FrozenPicture };

    const std::int64_t m_noDataTimeoutUs;
    std::uint64_t m_lastBytes = 0;
    std::int64_t m_lastDataUs = 0;
    std::int64_t m_stallFrameUs = 0; // the last picture when a frozen picture stalled
    std::int64_t m_resumedUs = 0;    // when the last stall ended
    Stall m_stall = Stall::None;
    std::int64_t m_endPositionUs = -1; // a position near the end, and since when it stands
    std::int64_t m_endSinceUs = 0;
    std::string m_reason;
};

} // namespace zephyrscope

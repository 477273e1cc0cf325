#pragma once

// The picture after an outage where a jitter buffer holds the frames after the
// gap until they are due (rtspsrc's, webrtcbin's), by the sender's frames.
// The picture stops at the first frame the outage hit (what came of it does
// not decode) and moves again at the first frame after it that reaches the
// player whole, repairs included, unless avdec_h264 drops that one: with no
// reference before it, it numbers the frame on from the last it decoded,
// without the frame-number wraps the gap hid, and drops every frame it then
// orders before the last it showed ("no picture ooo" in its log). The
// senders' x264 streams order pictures by frame number (order type 2).

#include "CellFigures.h"
#include "FrameDamageBound.h"

#include <cstdint>
#include <string>
#include <vector>

namespace zephyrscope::bench {

class OutageResume {
public:
    // The sender's frames about the gap; -1: not known.
    struct Frames {
        std::int64_t cutToNext = -1; // from the first frame the outage hit to the first after it whole
        std::int64_t cutToKey = -1;  // and to the first whole key frame after the gap
        std::int64_t shownSinceKey = -1; // frames from its key frame to the last whole frame before the cut
        std::int64_t cutSinceKey = -1;   // and to the first frame the outage hit
        std::int64_t nextSinceKey = -1;  // and to the first whole frame after it
        std::int64_t frameCycle = -1;    // after how many frames the frame numbers wrap
        double frameMs = 0.0;
    };

    // The frames about the first gap in a relay's frame log, where a frame is hit
    // if any of it did not reach the receiver in time; the frames' spacing from
    // the log's first and last. None hit: nothing known.
    static Frames fromLog(const std::vector<tools::impair::FrameDamageBound::Frame>& log, std::int64_t frameCycle);
    // How many frames from the first whole frame after the gap on the decoder drops.
    static std::int64_t droppedAfterGap(const Frames& frames);
    // The stall's truth: the frames from the one hit to the first shown, give
    // or take the player's reads of its frames' times and slackFrames (where
    // frames at the gap's edges reach the decoder in part, differently in runs
    // with the same log). gapMs: the data gap, the truth (with a key frame's
    // slack) where the frames are not known.
    static CellFigures::StallTruth stall(const Frames& frames, double gapMs, const std::string& sender,
                                         int slackFrames);

    // The picture under steady loss nothing repairs (a rate cap's drops), by a
    // relay's frame log with the frames tsdemux passed on marked demuxed. The
    // decoder starts at the first key frame it gets; h264parse hands a frame on
    // only once the next one reaches it (the next frame demuxed, whole by its
    // last packet); avdec_h264 numbers each frame on from the last it decoded,
    // counting a wrap only at frame number 0 (after a gap it fills in the frame
    // just before), and drops those it then orders before the last it showed,
    // until a key frame (droppedAfterGap's rule, frame by frame); the sink drops
    // a frame later than its due time (the sender's pace from the least-held
    // frame, plus latencyMs) by over its 20-ms max-lateness, and the decoder
    // then drops the frames due before that time plus twice the lateness and a
    // frame (its QoS). Times on the relay's clock, ms.
    struct Shown {
        std::size_t frame = 0;
        double dueMs = 0.0, reachedSinkMs = 0.0;
    };
    static std::vector<Shown> shownUnderLoss(const std::vector<tools::impair::FrameDamageBound::Frame>& log,
                                             std::int64_t frameCycle, double latencyMs);
    // The stalls the player's watch makes of those frames: where it sees the
    // sink hold the next frame b a second or more past the last one's time and
    // a frame's (at a look every 100 ms, once the picture stood half a second;
    // not while the frame that ended the last stall is the last shown), or the
    // picture stands three seconds; each from the last frame shown plus the
    // median of its last nine spacings (b's with them where it was held) to b.
    // A gap within kRebasedMs of the second's edge (tsdemux re-times the frames
    // after each flush), or a hold shorter than a look's period, may go either
    // way; of those, the truth takes the ones that bring it nearest measuredMs.
    static CellFigures::StallTruth stallsUnderLoss(const std::vector<Shown>& shown, double frameMs,
                                                   double measuredMs);
    // The sender's frame spacing, from its least-delayed frames.
    static double senderFrameMs(const std::vector<tools::impair::FrameDamageBound::Frame>& log);
    static constexpr double kRebasedMs = 20.0;
};

} // namespace zephyrscope::bench

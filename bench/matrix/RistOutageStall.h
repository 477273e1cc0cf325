#pragma once

// The picture after an outage of a RIST stream, by the relay's logs: when
// each packet reached ristsrc or was given up (RepairDeadlines), and where
// each video frame began. ristsrc's jitter buffer passes the packets on in
// order, so a frame leaves it once every packet up to the next frame's first
// has come or been given up; it is due at the cut frame's time plus its
// distance from it. A frame that leaves after it was due reaches the sink
// late by J, and the decoder's QoS drops every frame due before its time plus
// 2 J and a frame (GstVideoDecoder's earliest time; one or two frames more
// slip through before the QoS event reaches the decoder, which moves that a
// frame or two sooner). The picture moves again at the first frame whole, in
// time, past that, and not dropped for its frame number (OutageResume) where
// frames before it came with nothing to decode. The player counts a stall
// only when it stood a second or more. Pure.

#include "CellFigures.h"
#include "TsDropRelay.h"

#include <cstdint>

namespace zephyrscope::bench {

class RistOutageStall {
public:
    // c: the relay's counts with its frame log, frame sequences and
    // deliveries; stallSinceWallMs: the player's last stall start (0: none),
    // which times the cut frame's due time; bufferMs: ristsrc's receiver-buffer;
    // frameMs: the frames' spacing by their timestamps, which the sink shows
    // them by (their first packets at the relay come in bursts, later where
    // the sender lags).
    static CellFigures::StallTruth stall(const tools::TsDropRelay::Counts& c, std::int64_t stallSinceWallMs,
                                         double bufferMs, double frameMs);
};

} // namespace zephyrscope::bench

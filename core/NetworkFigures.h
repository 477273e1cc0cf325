#pragma once

#include "TsErrorCounts.h"

#include <cstdint>
#include <string>

namespace zephyrscope {

// The streaming figures of the current entry, read whole once per read of the
// player's network object.
struct NetworkFigures {
    std::int32_t bandWidth = 0, recoveredPackets = 0, receivedPackets = 0, lostPackets = 0;
    std::int32_t receptionQuality = 0, bufferingCount = 0, bufferingProgress = 0, bufferingTime = 0;
    std::int32_t frameRate = 0, bitRate = 0, maxBandwidth = 0, encodedFrameRate = 0, framesSkipped = 0;
    std::string sourceProtocol;
    // SRT only: srtsrc's smoothed round-trip time and the receiver latency both sides agreed on.
    double srtRoundTripMs = 0.0;
    std::int32_t srtReceiverLatencyMs = 0;
    // The video sink's current format: the picture now shown.
    std::int32_t videoWidth = 0, videoHeight = 0;
    // An MPEG-TS stream went through a demuxer, whatever carried it, and its
    // first-priority transport stream errors.
    bool transportStream = false;
    TsErrorCounts transportErrors;
    // RIST only: ristsrc's retransmission round-trip time; 0 before a retransmission.
    double ristRoundTripMs = 0.0;
};

} // namespace zephyrscope

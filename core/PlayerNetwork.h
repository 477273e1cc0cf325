#pragma once

#include "NetworkFigures.h"

#include <cstdint>
#include <string>

namespace zephyrscope {

// The player's network object: streaming statistics of the current entry.
// Obtained from Player::network() for one read and released (destroyed) right after.
// Every read may throw PlayerError.
class PlayerNetwork {
public:
    virtual ~PlayerNetwork() = default;

    virtual std::int32_t bandWidth() = 0;         // bits per second, the clip's encoded rate
    virtual std::int32_t recoveredPackets() = 0;
    virtual std::string sourceProtocol() = 0;
    virtual std::int32_t receivedPackets() = 0;
    virtual std::int32_t lostPackets() = 0;
    virtual std::int32_t receptionQuality() = 0;  // percent
    virtual std::int32_t bufferingCount() = 0;
    virtual std::int32_t bufferingProgress() = 0; // percent
    virtual std::int32_t bufferingTime() = 0;     // milliseconds
    virtual std::int32_t frameRate() = 0;         // hundredths of a frame per second
    virtual std::int32_t bitRate() = 0;           // bits per second
    virtual std::int32_t maxBandwidth() = 0;      // bits per second, 0 = no limit
    virtual std::int32_t encodedFrameRate() = 0;  // frames per second
    virtual std::int32_t framesSkipped() = 0;

    // Beyond the log's columns, for the metrics endpoint; the sampler does not read them.
    virtual double srtRoundTripTime() = 0;           // milliseconds, 0 unless the entry is SRT
    virtual std::int32_t srtReceiverLatency() = 0;   // milliseconds negotiated, 0 unless the entry is SRT
    // The picture now shown, which follows an adaptive stream's variant switches
    // (the media's image size stays the one at open). 0 before the first picture and for audio.
    virtual std::int32_t videoWidth() = 0;           // pixels
    virtual std::int32_t videoHeight() = 0;          // pixels
    // All of the above and what the log has no column for, in one read.
    virtual NetworkFigures figures() = 0;
};

} // namespace zephyrscope

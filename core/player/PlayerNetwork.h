#pragma once

#include "NetworkFigures.h"

#include <cstdint>
#include <string>

namespace zephyrscope {

// The player's network object: streaming statistics of the current entry.
// Obtained from Player::network() for one read and released (destroyed) right after.
// Every read may throw PlayerError. A tick reads none of them: it takes one
// Player::snapshot, which holds these and every other figure.
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
};

} // namespace zephyrscope

#pragma once

#include <cstdint>
#include <string>

namespace zephyrscope {

// The player's current-media object. Obtained from Player::currentMedia() for one
// read and released (destroyed) right after. Every read may throw PlayerError.
class PlayerMedia {
public:
    virtual ~PlayerMedia() = default;

    virtual std::string sourceURL() = 0;
    virtual std::int32_t imageSourceWidth() = 0;  // pixels, 0 for audio only
    virtual std::int32_t imageSourceHeight() = 0; // pixels, 0 for audio only
    virtual double duration() = 0;                // seconds, 0 for live
    virtual std::string durationString() = 0;     // "MM:SS" or "HH:MM:SS"
    virtual std::string name() = 0;
};

} // namespace zephyrscope

#pragma once

#include <cstdint>
#include <string>

namespace zephyrscope {

// Receives the player's events, always on the thread that runs the main loop and
// never from inside a call into the player.
class PlayerEventSink {
public:
    virtual ~PlayerEventSink() = default;

    virtual void OnPlayStateChange(std::int32_t newState) = 0;
    virtual void OnOpenStateChange(std::int32_t newState) = 0;
    // An entry could not be opened or played; the player skips it.
    // reason is one line, as the engine or the system gave it.
    virtual void OnMediaError(const std::string& url, const std::string& reason) = 0;
};

} // namespace zephyrscope

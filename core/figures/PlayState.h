#pragma once

#include <cstdint>

namespace zephyrscope {

// The player's play states, in the player's own numbering.
enum PlayState : std::int32_t {
    kPlayStateUndefined = 0,
    kPlayStateStopped = 1,
    kPlayStatePaused = 2,
    kPlayStatePlaying = 3,
    kPlayStateScanForward = 4,
    kPlayStateScanReverse = 5,
    kPlayStateBuffering = 6,
    kPlayStateWaiting = 7,
    kPlayStateMediaEnded = 8,
    kPlayStateTransitioning = 9,
    kPlayStateReady = 10,
    kPlayStateReconnecting = 11,
};

// The one open state the program acts on: the clip has been opened and its properties are known.
constexpr std::int32_t kOpenStateMediaOpen = 13;

// The name of a play state as the log prints it; "Unknown" outside 0..11.
const char* PlayStateName(std::int32_t state);

} // namespace zephyrscope

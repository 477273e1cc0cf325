#include "PlayState.h"

#include <array>

namespace zephyrscope {

namespace {

constexpr std::array<const char*, 12> kPlayStateNames = {
    "Undefined", "Stopped",   "Paused", "Playing",      "ScanForward", "ScanReverse",
    "Buffering", "Waiting",   "MediaEnded", "Transitioning", "Ready",  "Reconnecting",
};

} // namespace

const char* PlayStateName(std::int32_t state)
{
    // An unbounded table lookup would read past the end for a state the player
    // should never report; name it instead.
    if (state < 0 || state >= static_cast<std::int32_t>(kPlayStateNames.size()))
        return "Unknown";
    return kPlayStateNames[static_cast<std::size_t>(state)];
}

} // namespace zephyrscope

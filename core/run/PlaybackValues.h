#pragma once

#include "Clock.h"

#include <cstdint>

namespace zephyrscope {

// The three values shared by the sampler and the playback-event handling.
// Owned by the main dialog; set at its initialisation before anything reads them.
struct PlaybackValues {
    // Process clock at the last transition to Playing.
    ProcessClockMs m_playStartClock = 0;
    // 1 or 0, nothing else (a flag kept as the int32 the values are): 1 from a
    // clip's end until the sampler's next tick, which restarts its elapsed-time
    // base and sets it back to 0.
    std::int32_t m_restartClock = 0;
    // 1: a clip has played to its end in this run; never cleared.
    std::int32_t m_clipEnded = 0;
};

} // namespace zephyrscope

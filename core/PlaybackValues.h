#pragma once

#include "Clock.h"

#include <cstdint>

namespace zephyrscope {

// The three values shared by the sampler and the playback-event handling.
// Owned by the main dialog; set at its initialisation before anything reads them.
struct PlaybackValues {
    // Process clock at the last transition to Playing.
    ProcessClockMs m_playStartClock = 0;
    // 1: the sampler restarts its elapsed-time base at its next tick.
    std::int32_t m_restartClock = 0;
    // 1: a clip has played to its end in this run; never cleared.
    std::int32_t m_clipEnded = 0;
};

} // namespace zephyrscope

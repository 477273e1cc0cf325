#pragma once

#include "Clock.h"

#include <cstdint>

namespace zephyrscope {

// How long a monitoring run waits before it opens an entry that ended or failed
// again: 1 s after the first loss, doubling with each loss that follows to at
// most 30 s, and back to 1 s once an entry has played for 60 s without a break.
// A channel that flaps is then not hammered, and one that was healthy for a
// while comes back quickly after its next loss.
//
// Pure logic on the caller's clock; UI thread only.
class ReconnectBackoff {
public:
    static constexpr std::int32_t kFirstDelayMs = 1000;
    static constexpr std::int32_t kMaxDelayMs = 30000;
    static constexpr std::int32_t kHealthyPlayMs = 60000;

    explicit ReconnectBackoff(Clock& clock);

    // The entry began to play. Its stretch of play lasts until it ends or fails:
    // a stall within it does not break it.
    void playing();
    // The entry ended or failed: how long to wait before it is opened again. Each
    // call without a healthy stretch of play between doubles the next wait.
    std::int32_t nextDelayMs();

    // The wait the next loss will be given, for display and tests.
    std::int32_t pendingDelayMs() const { return m_delayMs; }

private:
    void endStretch();

    Clock& m_clock;
    std::int32_t m_delayMs = kFirstDelayMs;
    bool m_playing = false;
    ProcessClockMs m_playingSince = 0;
};

} // namespace zephyrscope

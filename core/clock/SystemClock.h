#pragma once

#include "Clock.h"

namespace zephyrscope {

// The real clocks: a monotonic count since process start and the system's wall clock.
class SystemClock final : public Clock {
public:
    ProcessClockMs processClock() override;
    WallClockTime wallClock() override;
};

} // namespace zephyrscope

#pragma once

#include <cstdint>

namespace zephyrscope {

// Milliseconds of real time since the process started, idle time included,
// as a 32-bit signed count. It wraps after about 24.8 days; take differences
// with ClockDifference, never with a plain subtraction.
using ProcessClockMs = std::int32_t;

// Seconds since 1970-01-01 00:00 UTC and the milliseconds 0..999 within that second.
struct WallClockTime {
    std::int64_t seconds = 0;
    std::int32_t milliseconds = 0;
};

// The time as milliseconds since 1970 UTC.
constexpr std::int64_t WallClockMs(const WallClockTime& t)
{
    return t.seconds * 1000 + t.milliseconds;
}

// later - earlier as a 32-bit signed count, correct across a wrap of the clock.
constexpr std::int32_t ClockDifference(ProcessClockMs later, ProcessClockMs earlier)
{
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(later) - static_cast<std::uint32_t>(earlier));
}

// The two clocks the measurement reads. Injected so that tests drive time by hand.
class Clock {
public:
    virtual ~Clock() = default;
    virtual ProcessClockMs processClock() = 0;
    virtual WallClockTime wallClock() = 0;
};

} // namespace zephyrscope

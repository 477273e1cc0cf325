#include "SystemClock.h"

#include <chrono>

namespace zephyrscope {

namespace {

// Taken during static initialisation, before main runs, so it stands for the process start.
const std::chrono::steady_clock::time_point kProcessStart = std::chrono::steady_clock::now();

} // namespace

ProcessClockMs SystemClock::processClock()
{
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - kProcessStart).count();
    // Keep the low 32 bits, as a 32-bit millisecond counter does when it wraps.
    return static_cast<ProcessClockMs>(static_cast<std::uint32_t>(static_cast<std::uint64_t>(ms)));
}

WallClockTime SystemClock::wallClock()
{
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch()).count();
    WallClockTime t;
    t.seconds = ms / 1000;
    t.milliseconds = static_cast<std::int32_t>(ms % 1000);
    if (t.milliseconds < 0) { // before 1970: keep the milliseconds within 0..999
        t.milliseconds += 1000;
        t.seconds -= 1;
    }
    return t;
}

} // namespace zephyrscope

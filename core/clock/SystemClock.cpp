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
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch());
    // Rounded down, so that before 1970 too the milliseconds stay within 0..999.
    const auto seconds = std::chrono::floor<std::chrono::seconds>(ms);
    return {seconds.count(), static_cast<std::int32_t>((ms - seconds).count())};
}

} // namespace zephyrscope

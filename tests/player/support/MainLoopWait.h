#pragma once

#include <chrono>
#include <functional>

namespace zephyrscope::testing {

// Runs the default GMainContext until the condition holds or the time is up;
// returns whether it held. Wakes at least every 20 ms to look again, so a test
// waits on what it is waiting for, bounded, without sleeping.
bool RunMainLoopUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout);

// Runs the default GMainContext for the given time (to let a player play on).
void RunMainLoopFor(std::chrono::milliseconds duration);

} // namespace zephyrscope::testing

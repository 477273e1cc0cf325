#pragma once

#include "Clock.h"

#include <vector>

namespace zephyrscope::testing {

// A clock moved by hand. Every reading is recorded so tests can check how often
// and in which order the clocks were read.
class FakeClock final : public Clock {
public:
    ProcessClockMs processClock() override
    {
        reads.push_back('p');
        const ProcessClockMs now = process;
        process += stepPerRead;
        return now;
    }
    WallClockTime wallClock() override
    {
        reads.push_back('w');
        return wall;
    }

    void advance(std::int32_t ms)
    {
        process = ClockDifference(process, -ms); // wraps like the real counter
        wall.milliseconds += ms;
        wall.seconds += wall.milliseconds / 1000;
        wall.milliseconds %= 1000;
    }

    ProcessClockMs process = 0;
    // Added after every process-clock reading, to model time passing between reads.
    std::int32_t stepPerRead = 0;
    WallClockTime wall{1700000000, 0};
    std::vector<char> reads;
};

} // namespace zephyrscope::testing

#include "Clock.h"
#include "DefaultLogName.h"
#include "SystemClock.h"

#include <gtest/gtest.h>

#include <chrono>
#include <climits>
#include <regex>

using namespace zephyrscope;

TEST(ClockDifference, IsRightAcrossAWrapOfTheCounter)
{
    EXPECT_EQ(ClockDifference(1500, 1000), 500);
    EXPECT_EQ(ClockDifference(1000, 1500), -500);
    EXPECT_EQ(ClockDifference(INT_MIN + 99, INT_MAX - 400), 500);
}

TEST(SystemClock, CountsMillisecondsOfRealTimeFromProcessStart)
{
    SystemClock clock;
    const ProcessClockMs first = clock.processClock();
    EXPECT_GE(first, 0);
    // Busy-wait on another clock for 30 ms: the process clock must move by the same real time.
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(30);
    while (std::chrono::steady_clock::now() < until) {
    }
    const std::int32_t moved = ClockDifference(clock.processClock(), first);
    EXPECT_GE(moved, 30);
    EXPECT_LT(moved, 1000);
}

TEST(SystemClock, WallClockMatchesTheSystemClock)
{
    SystemClock clock;
    const auto before = std::chrono::duration_cast<std::chrono::milliseconds>(
                            std::chrono::system_clock::now().time_since_epoch()).count();
    const WallClockTime t = clock.wallClock();
    const auto after = std::chrono::duration_cast<std::chrono::milliseconds>(
                           std::chrono::system_clock::now().time_since_epoch()).count();
    const long long ms = t.seconds * 1000 + t.milliseconds;
    EXPECT_GE(ms, before);
    EXPECT_LE(ms, after);
    EXPECT_GE(t.milliseconds, 0);
    EXPECT_LE(t.milliseconds, 999);
}

TEST(DefaultLogName, IsTheLocalDateAndTimeWithLeadingZeros)
{
    std::tm t{};
    t.tm_year = 2026 - 1900;
    t.tm_mon = 0;
    t.tm_mday = 5;
    t.tm_hour = 7;
    t.tm_min = 8;
    t.tm_sec = 9;
    EXPECT_EQ(DefaultLogName(t), "20260105070809.dat");
    t.tm_mon = 11;
    t.tm_mday = 31;
    t.tm_hour = 23;
    t.tm_min = 59;
    t.tm_sec = 59;
    EXPECT_EQ(DefaultLogName(t), "20261231235959.dat");
    EXPECT_TRUE(std::regex_match(DefaultLogName(), std::regex("[0-9]{14}\\.dat")));
}

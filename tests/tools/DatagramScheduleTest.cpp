#include "DatagramSchedule.h"

#include <gtest/gtest.h>

using namespace zephyrscope::tools::impair;

TEST(DatagramSchedule, GivesBackWhatIsDueEarliestFirstAndEqualTimesInTheirOrder)
{
    DatagramSchedule schedule;
    const unsigned char a = 'a', b = 'b', c = 'c', d = 'd';
    schedule.add(300, &a, 1);
    schedule.add(100, &b, 1);
    schedule.add(300, &c, 1);
    schedule.add(200, &d, 1);
    EXPECT_EQ(schedule.nextDueUs(), 100);
    EXPECT_EQ(schedule.waitMs(0, 50), 1);     // 100 us, rounded up
    EXPECT_EQ(schedule.waitMs(150, 50), 0);   // overdue
    EXPECT_EQ(schedule.waitMs(-90000, 50), 50);
    EXPECT_TRUE(schedule.takeDue(99).empty());
    std::string order;
    for (const auto& due : schedule.takeDue(250))
        order += static_cast<char>(due.bytes.at(0));
    EXPECT_EQ(order, "bd");
    EXPECT_EQ(schedule.nextDueUs(), 300);
    for (const auto& due : schedule.takeDue(300))
        order += static_cast<char>(due.bytes.at(0));
    EXPECT_EQ(order, "bdac");
    EXPECT_EQ(schedule.size(), 0u);
    EXPECT_FALSE(schedule.nextDueUs().has_value());
    EXPECT_EQ(schedule.waitMs(0, 50), 50);
}

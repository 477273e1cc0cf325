#include "RepairSourceCheck.h"

#include <gtest/gtest.h>

#include <vector>

using zephyrscope::tools::RepairSourceCheck;

namespace {

using Passed = std::vector<std::uint16_t>;

} // namespace

TEST(RepairSourceCheck, RefusesTheSecondOfTwoSparseRepairsFarApartInTheStream)
{
    // A matrix run's repairs (90 kHz RTP times): 231, then 649 4.1 s later in
    // the stream. From those two the session estimates 2 packets a second, so
    // allows a jump of 120: 649 is refused. 738 0.84 s on raises the estimate
    // to 53 (a jump of 3180) and passes.
    RepairSourceCheck check;
    EXPECT_EQ(check.arrived(231, 3113056146u), Passed({231}));
    EXPECT_EQ(check.arrived(649, 3113426933u), Passed());
    EXPECT_EQ(check.arrived(738, 3113502546u), Passed({738}));
    EXPECT_EQ(check.refused(), 1u);
}

TEST(RepairSourceCheck, PassesAHeldRepairWhenTheNextOneFollowsItAtALowRate)
{
    // After a refused jump the next sequence number re-syncs the source, both
    // passing, where the estimate stays low (650 a stream second after 649);
    // close behind it instead (650 a packet's time on), the estimate rises,
    // 650 passes as in order and 649 is dropped.
    RepairSourceCheck slow;
    EXPECT_EQ(slow.arrived(231, 3113056146u), Passed({231}));
    EXPECT_EQ(slow.arrived(649, 3113426933u), Passed());
    EXPECT_EQ(slow.arrived(650, 3113516933u), Passed({649, 650}));
    EXPECT_EQ(slow.refused(), 0u);
    RepairSourceCheck fast;
    EXPECT_EQ(fast.arrived(231, 3113056146u), Passed({231}));
    EXPECT_EQ(fast.arrived(649, 3113426933u), Passed());
    EXPECT_EQ(fast.arrived(650, 3113427000u), Passed({650}));
    EXPECT_EQ(fast.refused(), 1u);
}

TEST(RepairSourceCheck, PassesRepairsCloseTogetherAndSmallStepsBack)
{
    // The first estimate, from none, is about 2 a second whatever the repairs'
    // spacing: jumps under 120 and steps back of up to 10 pass.
    RepairSourceCheck check;
    EXPECT_EQ(check.arrived(1000, 900000u), Passed({1000}));
    EXPECT_EQ(check.arrived(1020, 918000u), Passed({1020}));
    EXPECT_EQ(check.arrived(1015, 913500u), Passed({1015}));
    EXPECT_EQ(check.arrived(1040, 936000u), Passed({1040}));
    EXPECT_EQ(check.refused(), 0u);
}

TEST(RepairSourceCheck, DropsAHeldRepairWhenTheNextOneIsInOrderAgain)
{
    // 40000 jumps far past 1100 (more than 15000 ahead, so the estimate keeps
    // its 2 a second): held; 1101 is in order and drops it.
    RepairSourceCheck check;
    EXPECT_EQ(check.arrived(1000, 900000u), Passed({1000}));
    EXPECT_EQ(check.arrived(1100, 909000u), Passed({1100}));
    EXPECT_EQ(check.arrived(40000, 4000000u), Passed());
    EXPECT_EQ(check.refused(), 1u);
    EXPECT_EQ(check.arrived(1101, 909100u), Passed({1101}));
    EXPECT_EQ(check.refused(), 1u);
}

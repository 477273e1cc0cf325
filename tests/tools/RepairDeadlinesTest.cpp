#include "RepairDeadlines.h"

#include <gtest/gtest.h>

using zephyrscope::tools::RepairDeadlines;

namespace {

constexpr std::int64_t kBufferUs = 1000000;

} // namespace

TEST(RepairDeadlines, CountsARepairPastTheBufferAfterItsOriginalAsLate)
{
    // Packets 10 ms apart; 2 and 5 dropped. 2's repair leaves 300 ms after it
    // would have, 5's 1.2 s after: the receiver gave 5 up. 9's was never sent.
    RepairDeadlines deadlines;
    for (std::int64_t sequence = 0; sequence < 8; ++sequence) {
        if (sequence == 2 || sequence == 5)
            deadlines.originalDropped(sequence, sequence * 10000);
        else
            deadlines.originalForwarded(sequence, sequence * 10000);
    }
    deadlines.repairForwarded(2, 20000 + 300000);
    deadlines.repairForwarded(5, 50000 + 1200000);
    deadlines.repairForwarded(9, 2000000);
    const RepairDeadlines::Verdict verdict = deadlines.judge(kBufferUs);
    EXPECT_EQ(verdict.repaired, 3u);
    EXPECT_EQ(verdict.late, 1u);
    EXPECT_EQ(verdict.gapsWaitedFor, 0u);
    EXPECT_EQ(verdict.latestInTimeUs, 300000);
    EXPECT_EQ(verdict.earliestLateUs, 1200000);
}

TEST(RepairDeadlines, RunsADeadlineFromTheGapsEndWhereTheReceiverAskedPastTheBuffer)
{
    // An outage drops 1 to 200 (10 ms apart); 201 ends it at 2.01 s. Packet 1
    // was repaired, so the receiver still waited for it 2 s on: the run's
    // deadline runs from its end, and 150's repair at 2.9 s is in time. A
    // second run (300, ended by 301) it did not wait for whole: 300's repair
    // 1.1 s after it is late.
    RepairDeadlines deadlines;
    deadlines.originalForwarded(0, 0);
    for (std::int64_t sequence = 1; sequence <= 200; ++sequence)
        deadlines.originalDropped(sequence, sequence * 10000);
    for (std::int64_t sequence = 201; sequence < 300; ++sequence)
        deadlines.originalForwarded(sequence, sequence * 10000);
    deadlines.originalDropped(300, 3000000);
    deadlines.originalForwarded(301, 3010000);
    deadlines.repairForwarded(2, 50000);
    deadlines.repairForwarded(1, 2100000);
    deadlines.repairForwarded(150, 2900000);
    deadlines.repairForwarded(300, 4100000);
    const RepairDeadlines::Verdict verdict = deadlines.judge(kBufferUs);
    EXPECT_EQ(verdict.gapsWaitedFor, 1u);
    EXPECT_EQ(verdict.beforeGapEnded, 1u);
    EXPECT_EQ(verdict.late, 1u);
    EXPECT_EQ(verdict.earliestLateUs, 1100000);
    EXPECT_EQ(verdict.latestInTimeUs, 2900000 - 2010000);
}

TEST(RepairDeadlines, TakesNoRepairBeforeTheGapEndedForTheReceiversRequest)
{
    // The same outage; the first packet's repair leaves during it (the receiver
    // asked for the next packet due), the last ones' after it: the receiver gave
    // the rest up, and 195's repair 1.05 s after its original is late.
    RepairDeadlines deadlines;
    deadlines.originalForwarded(0, 0);
    for (std::int64_t sequence = 1; sequence <= 200; ++sequence)
        deadlines.originalDropped(sequence, sequence * 10000);
    deadlines.originalForwarded(201, 2010000);
    deadlines.repairForwarded(1, 60000);
    deadlines.repairForwarded(190, 2300000);
    deadlines.repairForwarded(195, 3000000);
    const RepairDeadlines::Verdict verdict = deadlines.judge(kBufferUs);
    EXPECT_EQ(verdict.gapsWaitedFor, 0u);
    EXPECT_EQ(verdict.beforeGapEnded, 1u);
    EXPECT_EQ(verdict.late, 1u);
    EXPECT_EQ(verdict.earliestLateUs, 1050000);
}

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

TEST(RepairDeadlines, GivesUpAPacketAtItsDeadlineNotBeforeItsRunEnded)
{
    // Packets 10 ms apart. A run of 1-200 ended by 201 at 2.01 s, waited for
    // whole (1 repaired at 2.1 s): 150 repaired in time, 100 never, so given up
    // at the run's end and the buffer. A run of 300 alone, not waited for,
    // never repaired: given up at its own time and the buffer. 302 was
    // overtaken by its repair.
    RepairDeadlines deadlines;
    deadlines.originalForwarded(0, 0);
    for (std::int64_t sequence = 1; sequence <= 200; ++sequence)
        deadlines.originalDropped(sequence, sequence * 10000);
    for (std::int64_t sequence = 201; sequence < 300; ++sequence)
        deadlines.originalForwarded(sequence, sequence * 10000);
    deadlines.originalDropped(300, 3000000);
    deadlines.originalForwarded(301, 3010000);
    deadlines.repairForwarded(302, 3015000);
    deadlines.originalForwarded(302, 3020000);
    deadlines.repairForwarded(1, 2100000);
    deadlines.repairForwarded(150, 2900000);
    const auto deliveries = deadlines.deliveries(kBufferUs);
    ASSERT_EQ(deliveries.size(), 303u);
    const auto at = [&](std::int64_t sequence) { return deliveries[static_cast<std::size_t>(sequence)]; };
    EXPECT_TRUE(at(0).arrived);
    EXPECT_EQ(at(0).atUs, 0);
    EXPECT_TRUE(at(150).arrived);
    EXPECT_EQ(at(150).atUs, 2900000);
    EXPECT_FALSE(at(100).arrived);
    EXPECT_EQ(at(100).atUs, 2010000 + kBufferUs);
    EXPECT_FALSE(at(300).arrived);
    EXPECT_EQ(at(300).atUs, 3000000 + kBufferUs);
    EXPECT_TRUE(at(302).arrived);
    EXPECT_EQ(at(302).atUs, 3015000);
}

TEST(RepairDeadlines, GivesUpAPacketPastItsDeadlineOnlyAsItsRunEnds)
{
    // A run of 1-200 ended at 2.01 s and not waited for (only 190's repair,
    // within the buffer of its original): 10's deadline passed at 1.1 s, but
    // the receiver learnt of the loss only as the run ended.
    RepairDeadlines deadlines;
    deadlines.originalForwarded(0, 0);
    for (std::int64_t sequence = 1; sequence <= 200; ++sequence)
        deadlines.originalDropped(sequence, sequence * 10000);
    deadlines.originalForwarded(201, 2010000);
    deadlines.repairForwarded(190, 2050000);
    const auto deliveries = deadlines.deliveries(kBufferUs);
    ASSERT_EQ(deliveries.size(), 202u);
    EXPECT_FALSE(deliveries[10].arrived);
    EXPECT_EQ(deliveries[10].atUs, 2010000);
    EXPECT_FALSE(deliveries[195].arrived);
    EXPECT_EQ(deliveries[195].atUs, 1950000 + kBufferUs);
    EXPECT_TRUE(deliveries[190].arrived);
}

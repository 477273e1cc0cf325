#include "JitterBufferDeadlines.h"

#include <gtest/gtest.h>

#include <map>

using zephyrscope::tools::JitterBufferDeadlines;

namespace {

constexpr std::int64_t kMs = 1000000;
constexpr std::int64_t kLatencyNs = 500 * kMs;

} // namespace

TEST(JitterBufferDeadlines, RunsAVideoDeadlineFromTheTimeItMappedForThePacketThatShowedTheGap)
{
    // Video at 90 kHz, two packets a frame 40 ms apart, on time for 2.4 s, then
    // 300 ms behind (a queue filled): the mapping keeps the least lag of its
    // window, so the receiver expects a missing packet 300 ms before it came
    // and gives it up 200 ms after. Packets 140 and 150 (first of their frames)
    // are dropped; 140's repair 150 ms after it would have come is in time,
    // 150's 250 ms after is late, though both are within the latency of it.
    JitterBufferDeadlines buffer(90000, kLatencyNs);
    std::map<std::int64_t, std::uint16_t> repairs;
    for (std::uint16_t sequence = 0; sequence < 200; ++sequence) {
        const std::uint32_t frame = sequence / 2u;
        const std::int64_t atNs = frame * 40 * kMs + (sequence % 2) * kMs + (frame >= 60 ? 300 * kMs : 0);
        while (!repairs.empty() && repairs.begin()->first <= atNs) {
            buffer.repair(repairs.begin()->second, repairs.begin()->second / 2u * 3600, repairs.begin()->first);
            repairs.erase(repairs.begin());
        }
        if (sequence == 140 || sequence == 150)
            repairs[atNs + (sequence == 140 ? 150 : 250) * kMs] = sequence;
        else
            buffer.original(sequence, frame * 3600, atNs);
    }
    const JitterBufferDeadlines::Verdict verdict = buffer.verdict();
    EXPECT_EQ(verdict.recovered, 1u);
    EXPECT_EQ(verdict.late, 1u);
    EXPECT_EQ(verdict.givenUp, 1u);
    EXPECT_EQ(verdict.startedOver, 0u);
}

TEST(JitterBufferDeadlines, GivesUpAtOnceTheEvenlySpacedPacketsAlreadyPastTheirDeadline)
{
    // Audio at 48 kHz, a packet each 20 ms; 100 to 149 dropped (1 s), 150 on
    // time. The receiver spaces the 50 between 99 and 150: the first 25 are
    // past their deadline when 150 comes and given up at once, so 100's repair
    // right then is late; 149's, expected 20 ms before 150, is in time.
    JitterBufferDeadlines buffer(48000, kLatencyNs);
    for (std::uint16_t sequence = 0; sequence < 200; ++sequence) {
        if (sequence >= 100 && sequence < 150)
            continue;
        const std::int64_t atNs = sequence * 20 * kMs;
        buffer.original(sequence, sequence * 960u, atNs);
        if (sequence == 150) {
            EXPECT_EQ(buffer.verdict().givenUp, 25u);
            buffer.repair(100, 100 * 960u, atNs + kMs);
            buffer.repair(149, 149 * 960u, atNs + 2 * kMs);
        }
    }
    EXPECT_EQ(buffer.verdict().recovered, 1u);
    EXPECT_EQ(buffer.verdict().late, 1u);
}

TEST(JitterBufferDeadlines, StartsItsMappingOverOnAStrayArrivalAndDiscardsRepairsFromBeforeIt)
{
    // A packet each 40 ms on time, then from 50 on 1.2 s late (the path
    // stalled): the mapping starts over there, and the repair of 45 (dropped)
    // is thrown away, though it comes within 2 s of when 45 was expected: 45
    // is given up in the end.
    JitterBufferDeadlines buffer(90000, 2000 * kMs);
    for (std::uint16_t sequence = 0; sequence < 100; ++sequence) {
        const std::int64_t atNs = sequence * 40 * kMs + (sequence >= 50 ? 1200 * kMs : 0);
        if (sequence != 45)
            buffer.original(sequence, sequence * 3600u, atNs);
        if (sequence == 52)
            buffer.repair(45, 45 * 3600u, atNs + kMs);
    }
    EXPECT_EQ(buffer.verdict().startedOver, 1u);
    EXPECT_EQ(buffer.verdict().recovered, 0u);
    EXPECT_EQ(buffer.verdict().givenUp, 1u);
}

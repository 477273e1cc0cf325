#include "MpegCrc32.h"
#include "PcrTiming.h"

#include <gtest/gtest.h>

#include <cmath>

using namespace zephyrscope;

namespace {

// A constant-rate stream's PCRs: one every kSpacingBytes at kBytesPerS, in 27 MHz ticks.
constexpr std::uint64_t kSpacingBytes = 7 * 188 * 5;
constexpr std::int64_t kBytesPerS = 250000; // 2 Mbit/s
constexpr std::int64_t kStartTicks = 27000000;

std::int64_t ticksAt(std::uint64_t position)
{
    return kStartTicks + static_cast<std::int64_t>(position) * 27000000 / kBytesPerS;
}

std::int64_t arrivalUsAt(std::uint64_t position)
{
    return 5000000 + static_cast<std::int64_t>(position) * 1000000 / kBytesPerS;
}

struct AccuracyCase {
    std::int64_t offNs; // how far the tenth PCR is off
    std::uint64_t expected;
};

class PcrAccuracy : public ::testing::TestWithParam<AccuracyCase> {};

} // namespace

// The tenth PCR is judged against its neighbours, and each neighbour against
// a line through it: one PCR off by more than 1 us shows three times.
TEST_P(PcrAccuracy, CountsPcrsOffTheirNeighboursInAConstantRateStream)
{
    PcrTiming timing;
    TsErrorCounts errors;
    for (std::uint64_t i = 0; i < 40; ++i) {
        const std::uint64_t position = i * kSpacingBytes;
        const std::int64_t off = i == 10 ? GetParam().offNs * 27 / 1000 : 0;
        timing.take(ticksAt(position) + off, position, false, std::nullopt, errors);
    }
    EXPECT_TRUE(timing.accuracyJudged());
    EXPECT_EQ(errors.pcrAccuracy, GetParam().expected);
    EXPECT_EQ(errors.pcrRepetition + errors.pcrDiscontinuity, 0u);
    EXPECT_FALSE(timing.jitterMs()) << "no arrival times, no jitter";
}

INSTANTIATE_TEST_SUITE_P(Offsets, PcrAccuracy,
                         ::testing::Values(AccuracyCase {0, 0}, AccuracyCase {-300, 0}, AccuracyCase {800, 1},
                                           AccuracyCase {-5000, 3}));

TEST(PcrTiming, DoesNotJudgeAccuracyOfAVariableRateStream)
{
    PcrTiming timing;
    TsErrorCounts errors;
    std::uint64_t position = 0;
    for (int i = 0; i < 40; ++i) {
        // 40 ms apart in time, but 3 to 12 packets apart in bytes.
        timing.take(kStartTicks + std::int64_t {i} * 40000 * 27, position, false, std::nullopt, errors);
        position += 188 * (3 + static_cast<std::uint64_t>(i * 7 % 10));
    }
    EXPECT_FALSE(timing.accuracyJudged());
    EXPECT_EQ(errors.pcrAccuracy, 0u);
}

TEST(PcrTiming, CountsGapsAndJumpsUnlessAnnounced)
{
    PcrTiming timing;
    TsErrorCounts errors;
    const auto take = [&](std::int64_t ms, bool discontinuity = false) {
        timing.take(kStartTicks + ms * 27000, 0, discontinuity, std::nullopt, errors);
    };
    for (const std::int64_t ms : {0, 40, 80, 300, 340}) // 220 ms without a PCR
        take(ms);
    EXPECT_EQ(errors.pcrRepetition, 1u);
    EXPECT_EQ(errors.pcrDiscontinuity, 1u);
    take(200); // backwards
    EXPECT_EQ(errors.pcrRepetition, 1u);
    EXPECT_EQ(errors.pcrDiscontinuity, 2u);
    take(240);
    take(5000, true); // a new time base, announced
    take(5040);
    take(9000); // a new time base, unannounced: no repetition, a discontinuity
    EXPECT_EQ(errors.pcrRepetition, 1u);
    EXPECT_EQ(errors.pcrDiscontinuity, 3u);
    // Across the 33-bit base's wrap, 40 ms apart.
    const std::int64_t wrap = (std::int64_t {1} << 33) * 300;
    timing.take(wrap - 20 * 27000, 0, true, std::nullopt, errors);
    timing.take(20 * 27000, 0, false, std::nullopt, errors);
    EXPECT_EQ(errors.pcrDiscontinuity, 3u);
}

TEST(PcrTiming, JitterIsTheLatestArrivalAgainstTheEarliestOverTenSecondsAfterTwoToSettle)
{
    PcrTiming timing;
    TsErrorCounts errors;
    const auto run = [&](std::uint64_t from, std::uint64_t to, std::uint64_t delayed, std::int64_t delayUs) {
        for (std::uint64_t i = from; i < to; ++i) {
            const std::uint64_t position = i * kSpacingBytes;
            const std::int64_t late = i == delayed ? delayUs : 0;
            timing.take(ticksAt(position), position, false, arrivalUsAt(position) + late, errors);
        }
    };
    // The first 2 s (each PCR 26 ms apart) settle a receiver: nothing is measured.
    run(0, 70, 30, 50000);
    EXPECT_FALSE(timing.jitterMs());
    run(70, 150, 100, 7000);
    ASSERT_TRUE(timing.jitterMs());
    EXPECT_NEAR(*timing.jitterMs(), 7.0, 0.01);
    // Ten seconds on, the late one is forgotten.
    run(150, 600, 0, 0);
    EXPECT_NEAR(*timing.jitterMs(), 0.0, 0.01);
    EXPECT_EQ(errors.pcrAccuracy, 0u);
}

TEST(MpegCrc32, ChecksToZeroOverASectionWithItsOwnCrc)
{
    // The PAT ffmpeg writes by default: one program, its PMT on PID 0x1000.
    std::uint8_t pat[] = {0x00, 0xB0, 0x0D, 0x00, 0x01, 0xC1, 0x00, 0x00, 0x00, 0x01, 0xF0, 0x00, 0, 0, 0, 0};
    const std::uint32_t crc = MpegCrc32(pat, sizeof pat - 4);
    for (int i = 0; i < 4; ++i)
        pat[12 + i] = static_cast<std::uint8_t>(crc >> (24 - 8 * i));
    EXPECT_EQ(MpegCrc32(pat, sizeof pat), 0u);
    EXPECT_EQ(crc, 0x2AB104B2u); // as ffmpeg writes it
    pat[14] ^= 0x01;
    EXPECT_NE(MpegCrc32(pat, sizeof pat), 0u);
}

#include "Impairment.h"
#include "LossModel.h"

#include <gtest/gtest.h>

#include <cmath>

using namespace zephyrscope::tools::impair;

namespace {

constexpr std::uint64_t kSeed = 20261209;

LossModel::Params lossOf(LossModel::Kind kind, double rate, std::uint64_t seed = kSeed)
{
    LossModel::Params params;
    params.kind = kind;
    params.rate = rate;
    params.seed = seed;
    return params;
}

class RandomLoss : public ::testing::TestWithParam<double> {};

} // namespace

TEST_P(RandomLoss, LosesTheAskedShareWithinFourBinomialDeviations)
{
    // The number lost of N independent datagrams is binomial(N, p), with
    // standard deviation sqrt(N p (1 - p)): 22 datagrams at 0.5 %, 44 at 2 %, 69
    // at 5 % for N = 100,000. Four of them leave a chance of about 6 in 100,000
    // for an honest generator to fall outside; the seed is fixed, so the result
    // is the same every run, and a model that loses a different share (or loses
    // nothing) falls well outside.
    const double rate = GetParam();
    constexpr std::uint64_t kDatagrams = 100000;
    LossModel model(lossOf(LossModel::Kind::Random, rate));
    for (std::uint64_t i = 0; i < kDatagrams; ++i)
        model.drops();
    const double expected = kDatagrams * rate;
    const double bound = 4.0 * std::sqrt(kDatagrams * rate * (1.0 - rate));
    EXPECT_EQ(model.counts().seen, kDatagrams);
    EXPECT_NEAR(static_cast<double>(model.counts().dropped), expected, bound);
}

INSTANTIATE_TEST_SUITE_P(Rates, RandomLoss, ::testing::Values(0.005, 0.02, 0.05));

TEST(LossModel, SameSeedLosesTheSameDatagramsAndAnotherSeedOthers)
{
    LossModel first(lossOf(LossModel::Kind::Random, 0.05));
    LossModel again(lossOf(LossModel::Kind::Random, 0.05));
    LossModel other(lossOf(LossModel::Kind::Random, 0.05, kSeed + 1));
    int sameAsAgain = 0, sameAsOther = 0;
    constexpr int kDatagrams = 10000;
    for (int i = 0; i < kDatagrams; ++i) {
        const bool lost = first.drops();
        sameAsAgain += lost == again.drops();
        sameAsOther += lost == other.drops();
    }
    EXPECT_EQ(sameAsAgain, kDatagrams);
    EXPECT_LT(sameAsOther, kDatagrams);
}

TEST(LossModel, EveryNthLosesExactlyEveryNth)
{
    LossModel::Params params;
    params.kind = LossModel::Kind::EveryNth;
    params.every = 40;
    LossModel model(params);
    for (int i = 1; i <= 400; ++i)
        EXPECT_EQ(model.drops(), i % 40 == 0) << "datagram " << i;
    EXPECT_EQ(model.counts().dropped, 10u);
    EXPECT_EQ(model.counts().bursts, 10u);
}

TEST(LossModel, NoneLosesNothing)
{
    LossModel model(LossModel::Params {});
    for (int i = 0; i < 1000; ++i)
        EXPECT_FALSE(model.drops());
    EXPECT_EQ(model.counts().dropped, 0u);
}

TEST(LossModel, GilbertElliottBurstsAverageFiveAndLoseTheAskedRateOverALongRun)
{
    // At 2 % over 1,000,000 datagrams there are some 4,000 bursts. A burst's
    // length is geometric with mean 5 and standard deviation sqrt(5 * 4) = 4.5,
    // so their mean has one of 0.07: 0.35 is five of them. The share lost
    // varies with the number of bursts as well; 10 % of it (0.2 points) is
    // more than four of its deviations.
    constexpr std::uint64_t kDatagrams = 1000000;
    LossModel::Params params = lossOf(LossModel::Kind::GilbertElliott, 0.02);
    params.meanBurst = 5.0;
    LossModel model(params);
    for (std::uint64_t i = 0; i < kDatagrams; ++i)
        model.drops();
    const LossModel::Counts& counts = model.counts();
    ASSERT_GT(counts.bursts, 0u);
    const double meanBurst = static_cast<double>(counts.dropped) / static_cast<double>(counts.bursts);
    const double rate = static_cast<double>(counts.dropped) / kDatagrams;
    EXPECT_NEAR(meanBurst, 5.0, 0.35);
    EXPECT_NEAR(rate, 0.02, 0.002);
}

TEST(Impairment, CountsWhatEachModelDidAndWhatNeverLeft)
{
    Impairment::Params params;
    params.loss = lossOf(LossModel::Kind::EveryNth, 0.0);
    params.loss.every = 10;
    params.outage = {1000000, 500000}; // 1 s after the first datagram, for 0.5 s
    Impairment impairment(params);
    // One 188-byte datagram a millisecond for 2 s, starting at 5 s on the caller's clock.
    int forwarded = 0;
    for (std::int64_t at = 5000000; at < 7000000; at += 1000) {
        const Impairment::Verdict verdict = impairment.judge(at, 188);
        forwarded += verdict.fate == Impairment::Fate::Forwarded;
        if (at >= 6000000 && at < 6500000) {
            EXPECT_EQ(verdict.fate, Impairment::Fate::Swallowed) << at;
        }
    }
    const Impairment::Counts counts = impairment.counts();
    EXPECT_EQ(counts.seen, 2000u);
    EXPECT_EQ(counts.swallowed, 500u);
    // The loss model sees only what the outage let through.
    EXPECT_EQ(counts.lost, 150u);
    EXPECT_EQ(counts.notForwarded(), 650u);
    EXPECT_EQ(forwarded, 1350);
}

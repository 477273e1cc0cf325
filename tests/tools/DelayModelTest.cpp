#include "DelayModel.h"

#include <gtest/gtest.h>

using namespace zephyrscope::tools::impair;

namespace {

struct DelayCase {
    const char* name;
    DelayModel::Jitter jitter;
    bool keepOrder;
};

class DelayWithJitter : public ::testing::TestWithParam<DelayCase> {
protected:
    static DelayModel::Params params()
    {
        DelayModel::Params p;
        p.delayUs = 100000; // 100 ms
        p.jitterUs = 30000; // 30 ms
        p.jitter = GetParam().jitter;
        p.keepOrder = GetParam().keepOrder;
        p.seed = 7;
        return p;
    }
};

} // namespace

TEST_P(DelayWithJitter, NeverSendsBeforeTheDrawnDelayAndKeepsOrderWhenTold)
{
    DelayModel model(params());
    std::int64_t previous = 0;
    int overtook = 0;
    std::uint64_t later = 0;
    double drawnSumUs = 0;
    constexpr int kDatagrams = 20000;
    // One datagram every 2 ms, far less than the jitter: draws overtake often.
    for (int i = 0; i < kDatagrams; ++i) {
        const std::int64_t arrival = 1000000 + 2000 * i;
        const std::int64_t departure = model.departureUs(arrival);
        ASSERT_GE(departure, arrival + model.lastDrawUs()) << "datagram " << i;
        ASSERT_GE(model.lastDrawUs(), 0);
        if (GetParam().jitter == DelayModel::Jitter::Uniform) {
            ASSERT_GE(model.lastDrawUs(), 70000);
            ASSERT_LE(model.lastDrawUs(), 130000);
        }
        if (GetParam().keepOrder) {
            ASSERT_GE(departure, previous) << "datagram " << i;
        }
        later += departure > arrival;
        overtook += departure < previous;
        previous = std::max(previous, departure);
        drawnSumUs += static_cast<double>(model.lastDrawUs());
    }
    // The draws centre on the fixed delay (mean of 20,000 draws: within 1 ms).
    EXPECT_NEAR(drawnSumUs / kDatagrams, 100000.0, 1000.0);
    const DelayModel::Counts& counts = model.counts();
    EXPECT_EQ(counts.seen, static_cast<std::uint64_t>(kDatagrams));
    // A normal draw more than 3.3 deviations below the delay is clamped to none.
    EXPECT_EQ(counts.delayed, later);
    EXPECT_GT(later, kDatagrams * 99u / 100);
    if (GetParam().keepOrder) {
        EXPECT_EQ(overtook, 0);
        EXPECT_GT(counts.heldForOrder, 0u);
        EXPECT_EQ(counts.reordered, 0u);
    } else {
        EXPECT_GT(overtook, 0);
        EXPECT_EQ(counts.reordered, static_cast<std::uint64_t>(overtook));
        EXPECT_EQ(counts.heldForOrder, 0u);
    }
}

INSTANTIATE_TEST_SUITE_P(Jitters, DelayWithJitter,
                         ::testing::Values(DelayCase {"UniformInOrder", DelayModel::Jitter::Uniform, true},
                                           DelayCase {"UniformReordering", DelayModel::Jitter::Uniform, false},
                                           DelayCase {"NormalInOrder", DelayModel::Jitter::Normal, true},
                                           DelayCase {"NormalReordering", DelayModel::Jitter::Normal, false}),
                         [](const ::testing::TestParamInfo<DelayCase>& info) { return info.param.name; });

TEST(DelayModel, FixedDelayAddsExactlyTheDelay)
{
    DelayModel::Params params;
    params.delayUs = 100000;
    DelayModel model(params);
    for (std::int64_t at = 0; at < 1000000; at += 3333)
        EXPECT_EQ(model.departureUs(at), at + 100000);
    EXPECT_EQ(model.counts().totalDelayUs, static_cast<std::int64_t>(model.counts().seen) * 100000);
}

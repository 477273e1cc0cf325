// The playout model on its own: deliveries and buffering thresholds by hand.

#include "PlayoutModel.h"

#include <gtest/gtest.h>

using namespace zephyrscope::bench;

namespace {

// One-second segments of one track, whole at the given times.
std::vector<PlayoutModel::Delivery> segmentsAt(const std::vector<double>& times, int track = 0)
{
    std::vector<PlayoutModel::Delivery> deliveries;
    for (const double at : times)
        deliveries.push_back({at, track, 1000.0});
    return deliveries;
}

} // namespace

TEST(PlayoutModel, MediaThatComesAheadOfThePictureNeverStallsIt)
{
    // Three segments at once, then one a second: it starts with the second
    // (1.5 s held) and stays 1.6 s ahead at least.
    const auto result = PlayoutModel::play(segmentsAt({-500, -400, -300, 1000, 2000, 3000, 4000}), 1, {0, 1500}, 5000);
    EXPECT_DOUBLE_EQ(result.startedAtMs, -400.0);
    EXPECT_EQ(result.stalls, 0);
    EXPECT_EQ(result.stallMs, 0.0);
    EXPECT_DOUBLE_EQ(result.leastLeadMs, 1600.0);
}

TEST(PlayoutModel, AHoldLongerThanTheLeadPausesUntilTheThresholdIsHeldAgain)
{
    // Two segments at 0, one at 1 s; then nothing until 4.5 s (a hold), when
    // two come at once, and one more at 5.2 s.
    const std::vector<double> times {0, 0, 1000, 4500, 4500, 5200};
    const auto result = PlayoutModel::play(segmentsAt(times), 1, {0, 1500}, 8000);
    // The picture stops at 3 s, when its 3 s of media are played; at 4.5 s it
    // holds 2 s, above the 1.5-s threshold, and plays on.
    EXPECT_DOUBLE_EQ(result.startedAtMs, 0.0);
    EXPECT_EQ(result.stalls, 1);
    EXPECT_DOUBLE_EQ(result.stallMs, 1500.0);

    // With a 2.5-s threshold it starts at 1 s, stops at 4 s and waits for the
    // segment at 5.2 s too.
    const auto longer = PlayoutModel::play(segmentsAt(times), 1, {0, 2500}, 8000);
    EXPECT_DOUBLE_EQ(longer.startedAtMs, 1000.0);
    EXPECT_EQ(longer.stalls, 1);
    EXPECT_DOUBLE_EQ(longer.stallMs, 1200.0);
    ASSERT_EQ(longer.pauses.size(), 1u);
    EXPECT_DOUBLE_EQ(longer.pauses[0].first, 4000.0);
    EXPECT_DOUBLE_EQ(longer.pauses[0].second, 5200.0);

    // Pausing with 300 ms still in the queues after the demuxer, and playing
    // again once they are full too: the stall starts 300 ms earlier.
    const auto queued = PlayoutModel::play(segmentsAt(times), 1, {300, 1800}, 8000);
    EXPECT_EQ(queued.stalls, 1);
    EXPECT_DOUBLE_EQ(queued.stallMs, 1800.0);
    EXPECT_DOUBLE_EQ(queued.leastLeadMs, 300.0);

    // A pause still on at the end is no stall that ended.
    const auto cut = PlayoutModel::play(segmentsAt(times), 1, {0, 1500}, 4000);
    EXPECT_EQ(cut.stalls, 0);
    EXPECT_EQ(cut.pauses.size(), 1u);
}

TEST(PlayoutModel, SeveralTracksHoldTheLeastOfTheirMedia)
{
    // Video keeps coming; the audio's second segment comes only at 3 s.
    auto deliveries = segmentsAt({0, 500, 1500, 2500, 3500}, 0);
    const auto audio = segmentsAt({0, 3000, 3100}, 1);
    deliveries.insert(deliveries.end(), audio.begin(), audio.end());
    const auto result = PlayoutModel::play(deliveries, 2, {0, 1000}, 4000);
    // One second of audio ahead: the picture stops at 1 s and plays at 3 s,
    // once the audio holds 1 s beyond it again.
    EXPECT_EQ(result.stalls, 1);
    EXPECT_DOUBLE_EQ(result.stallMs, 2000.0);
}

TEST(PlayoutModel, LosingItsPlaceInALivePlaylistDropsWhatItHeldAndPausesUntilTheThresholdIsHeldAgain)
{
    // 3 s held at 0, one segment a second after; the one at 2 s came too late:
    // the playlist had moved past the next, so the player went back to its head.
    auto deliveries = segmentsAt({0, 0, 0, 1000, 3000, 3500, 4000});
    PlayoutModel::Delivery late {2000, 0, 1000.0, true};
    deliveries.push_back(late);
    const auto result = PlayoutModel::play(deliveries, 1, {0, 1500}, 6000);
    // Playing from 0, it drops 2 s ahead at 2 s and waits until 3.5 s for 1.5 s again.
    EXPECT_EQ(result.placesLost, 1);
    EXPECT_EQ(result.stalls, 1);
    EXPECT_DOUBLE_EQ(result.stallMs, 1500.0);
    ASSERT_EQ(result.pauses.size(), 1u);
    EXPECT_DOUBLE_EQ(result.pauses[0].first, 2000.0);
}

#include "MetricsExposition.h"
#include "MetricsFigures.h"
#include "PlayState.h"
#include "Protocol.h"
#include "QoeScore.h"
#include "SessionTally.h"

#include <gtest/gtest.h>

using namespace zephyrscope;

namespace {

// docs/QOE.md's worked examples, each worked out by hand there.
struct WorkedExample {
    const char* what;
    QoeInputs inputs;
    double score, stallMos, startMos, quality;
};

class QoeScoreExample : public ::testing::TestWithParam<WorkedExample> {};

const WorkedExample kExamples[] = {
    {"no stall, 0.5-s start", {true, 0.5, 0, 0.0}, 94.93, 5.0, 4.7973, 1.0},
    {"one 2-s stall", {true, 0.5, 1, 2.0}, 62.75, 3.6442, 4.7973, 1.0},
    {"start held 3 s", {true, 3.0, 0, 0.0}, 82.67, 5.0, 4.3069, 1.0},
    {"both", {true, 3.0, 1, 2.0}, 54.65, 3.6442, 4.3069, 1.0},
    {"three stalls, 6 s", {true, 0.5, 3, 6.0}, 30.97, 2.3047, 4.7973, 1.0},
    {"quarter of the pixels, half the bits", {true, 1.0, 0, 0.0, 0.25, 0.5}, 63.935, 5.0, 4.6534, 0.7},
    {"never started", {false, 0.0, 0, 0.0}, 0.0, 5.0, 5.0, 1.0},
};

} // namespace

// A stretch of damaged picture weighs as a stall of its length does, in a factor
// of its own: a clean session keeps its score.
TEST(QoeScore, DamagedPictureWeighsAsAStallOfItsLength)
{
    const QoeScore clean = ScoreSession({true, 0.5, 0, 0.0});
    QoeInputs damaged {true, 0.5, 0, 0.0};
    damaged.damageStretches = 1;
    damaged.damagedSeconds = 2.0;
    const QoeScore s = ScoreSession(damaged);
    EXPECT_NEAR(s.damageMos, 3.6442, 0.00005);
    EXPECT_NEAR(s.score, 62.75, 0.005); // as one 2-s stall
    EXPECT_EQ(clean.damageMos, 5.0);
    EXPECT_NEAR(clean.score, 94.93, 0.005);
    damaged.stalls = 1;
    damaged.stallSeconds = 2.0;
    EXPECT_NEAR(ScoreSession(damaged).score, 41.48, 0.005); // both: 100 · 0.6610 · 0.6610 · 0.9493
}

TEST_P(QoeScoreExample, GivesTheScoreItsWorkedExampleGives)
{
    const WorkedExample& e = GetParam();
    const QoeScore s = ScoreSession(e.inputs);
    EXPECT_NEAR(s.score, e.score, 0.005) << e.what;
    EXPECT_NEAR(s.stallMos, e.stallMos, 0.00005) << e.what;
    EXPECT_NEAR(s.startMos, e.startMos, 0.00005) << e.what;
    EXPECT_NEAR(s.quality, e.quality, 1e-9) << e.what;
}

INSTANTIATE_TEST_SUITE_P(Docs, QoeScoreExample, ::testing::ValuesIn(kExamples),
                         [](const ::testing::TestParamInfo<WorkedExample>& info) {
                             return "Example" + std::to_string(info.index + 1);
                         });

// An HLS entry's ticks: its first picture at 0.5 s while it still buffers, played
// from 1 s, 2 s at the top variant (1280x720, 2 Mbit/s),
// a 1-s stall, 2 s at the lower (640x360, 1 Mbit/s); the endpoint serves them.
TEST(SessionTally, TimePlayedAndStalledAndTheShareOfTheTopVariantComeFromTheTicks)
{
    MetricsFigures f;
    f.entriesOpened = 1;
    f.hasSample = true;
    f.entryUrl = "http://127.0.0.1/live.m3u8";
    const auto tick = [&](std::int64_t ms, std::int32_t state, std::int32_t bandwidth, std::int32_t width) {
        f.sample.utcTime = {1765080000 + ms / 1000, static_cast<std::int32_t>(ms % 1000)};
        f.sample.network.playState = state;
        f.sample.stateName = PlayStateName(state);
        f.sample.network.protocol = protocolNamed("HLS");
        f.sample.network.bandWidth = bandwidth;
        f.sample.network.videoWidth = width;
        f.sample.network.videoHeight = width * 9 / 16;
        f.sample.network.startupMs = ms >= 500 ? 500 : 0;
        f.sample.network.stallsTimed = ms >= 3000 ? 1 : 0;
        if (f.sessionEntry != f.entriesOpened) {
            f.session.reset();
            f.sessionEntry = f.entriesOpened;
        }
        f.session.tick(f.sample, f.sample.network);
    };
    std::int64_t ms = 0;
    for (; ms < 1000; ms += 500)
        tick(ms, kPlayStateBuffering, 0, 0);
    for (; ms < 3000; ms += 500)
        tick(ms, kPlayStatePlaying, 2000000, 1280);
    for (; ms < 4000; ms += 500)
        tick(ms, kPlayStateBuffering, 1000000, 640);
    for (; ms <= 6000; ms += 500)
        tick(ms, kPlayStatePlaying, 1000000, 640);
    const SessionTally& t = f.session;
    EXPECT_DOUBLE_EQ(t.playingSeconds(), 4.0);
    EXPECT_DOUBLE_EQ(t.stalledSeconds(), 1.0); // buffering after the first picture, before play, is the start
    EXPECT_DOUBLE_EQ(t.rebufferingRatio(), 0.2);
    EXPECT_DOUBLE_EQ(t.averageBitRate().value_or(0), 1500000.0);
    EXPECT_DOUBLE_EQ(t.bitRateRatio(), 0.75);
    EXPECT_DOUBLE_EQ(t.resolutionRatio(), (2 * 1280.0 * 720 + 2 * 640.0 * 360) / 4 / (1280.0 * 720));
    const QoeInputs in = t.inputs();
    EXPECT_TRUE(in.started);
    EXPECT_DOUBLE_EQ(in.startupSeconds, 0.5);
    EXPECT_EQ(in.stalls, 1);
    EXPECT_DOUBLE_EQ(in.stallSeconds, 1.0);

    std::string text;
    FormatMetricsExposition(f, text);
    const std::string labels = "{url=\"http://127.0.0.1/live.m3u8\",protocol=\"HLS\"}";
    EXPECT_NE(text.find("\nzephyrscope_rebuffering_ratio" + labels + " 0.2\n"), std::string::npos) << text;
    EXPECT_NE(text.find("\nzephyrscope_average_bitrate_bytes_per_second" + labels + " 187500\n"), std::string::npos);
    const std::string score = "\nzephyrscope_qoe_score" + labels + " ";
    const std::size_t at = text.find(score);
    ASSERT_NE(at, std::string::npos) << text;
    EXPECT_NEAR(std::stod(text.substr(at + score.size())), ScoreSession(in).score, 1e-9);

    // The next entry starts its session afresh.
    f.entriesOpened = 2;
    tick(ms, kPlayStateBuffering, 0, 0);
    EXPECT_DOUBLE_EQ(f.session.playingSeconds(), 0.0);
    EXPECT_FALSE(f.session.averageBitRate());
}

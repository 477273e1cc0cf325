#include "BlackDetector.h"
#include "FreezeDetector.h"
#include "LumaSample.h"
#include "SilenceDetector.h"
#include "StretchTracker.h"
#include "SyncPatternOffset.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <tuple>
#include <limits>
#include <vector>

using namespace zephyrscope;

namespace {

constexpr std::int64_t kFrameUs = 40000; // 25 fps
constexpr std::int64_t kBlockUs = 10000;

struct Found {
    int started = 0, ended = 0;
    std::int64_t startUs = -1, endUs = -1;
};

void note(Found& found, StretchTracker::Change change, const StretchTracker& stretch)
{
    if (change == StretchTracker::Change::Started) {
        ++found.started;
        found.startUs = stretch.startUs();
    } else if (change == StretchTracker::Change::Ended) {
        ++found.ended;
        found.endUs = stretch.endUs();
    }
}

// 8-bit limited-range luma samples: every value v, or a moving ramp that differs every frame.
std::vector<std::uint8_t> flat(std::uint8_t v)
{
    return std::vector<std::uint8_t>(400, v);
}
std::vector<std::uint8_t> moving(int frame)
{
    std::vector<std::uint8_t> s(400);
    for (std::size_t i = 0; i < s.size(); ++i)
        s[i] = static_cast<std::uint8_t>(16 + (i * 7 + static_cast<std::size_t>(frame) * 13) % 219);
    return s;
}

} // namespace

TEST(LumaSample, DarkShareMeanAndDifferenceInTheLimitedRange)
{
    LumaSample luma;
    std::vector<std::uint8_t> s(100, 235);
    for (int i = 0; i < 98; ++i)
        s[i] = 37; // just under 16 + 10 % of 219
    const PictureSummary first = luma.summarize(s, 16, 235, 0.10);
    EXPECT_DOUBLE_EQ(first.darkShare, 0.98);
    EXPECT_FALSE(first.difference);
    s[0] = 38; // just over: no longer dark
    const PictureSummary second = luma.summarize(s, 16, 235, 0.10);
    EXPECT_DOUBLE_EQ(second.darkShare, 0.97);
    ASSERT_TRUE(second.difference);
    EXPECT_NEAR(*second.difference, 1.0 / 100 / 219, 1e-12);
    EXPECT_NEAR(luma.summarize(flat(235), 16, 235, 0.10).meanLevel, 1.0, 1e-12);
    EXPECT_FALSE(luma.summarize(std::vector<std::uint8_t>(50, 16), 16, 235, 0.10).difference)
        << "a picture of another size is not compared";
}

// Sixteen samples at a time and one by one give the counts a plain loop over
// the samples gives: pictures of sizes around the width of a step, darkness
// limits at and between codes, at the ends of the range and beyond them.
TEST(LumaSample, SummaryIsThePlainCountOfItsSamplesForAnySizeAndLimit)
{
    std::uint32_t seed = 12345;
    const auto next = [&seed] {
        seed = seed * 1103515245u + 12345u;
        return static_cast<std::uint8_t>(seed >> 16);
    };
    for (const std::size_t size : {1u, 15u, 16u, 17u, 57600u + 7u}) {
        for (const auto& [black, white, ratio] :
             {std::tuple {16, 235, 0.10}, std::tuple {16, 235, 0.0}, std::tuple {0, 255, 0.5},
              std::tuple {0, 255, 0.0}, std::tuple {16, 235, 1.2}, std::tuple {0, 255, 0.2549}}) {
            LumaSample luma;
            std::vector<std::uint8_t> previous(size), samples(size);
            for (std::size_t i = 0; i < size; ++i) {
                previous[i] = next();
                samples[i] = next();
            }
            luma.summarize(previous, black, white, ratio);
            const PictureSummary summary = luma.summarize(samples, black, white, ratio);
            const double range = white - black, darkBelow = black + ratio * range;
            double dark = 0, sum = 0, difference = 0;
            for (std::size_t i = 0; i < size; ++i) {
                dark += samples[i] < darkBelow;
                sum += samples[i];
                difference += std::abs(samples[i] - previous[i]);
            }
            const double n = static_cast<double>(size);
            SCOPED_TRACE(::testing::Message() << size << " samples, " << black << "-" << white << ", ratio " << ratio);
            EXPECT_DOUBLE_EQ(summary.darkShare, dark / n);
            EXPECT_DOUBLE_EQ(summary.meanLevel, std::clamp((sum / n - black) / range, 0.0, 1.0));
            ASSERT_TRUE(summary.difference);
            EXPECT_DOUBLE_EQ(*summary.difference, difference / n / range);
        }
    }
}

TEST(BlackDetector, FindsTwoSecondsOfBlackOnceToTheFrame)
{
    ContentSettings settings;
    BlackDetector black(settings);
    LumaSample luma;
    Found found;
    for (int f = 0; f < 150; ++f) {
        const bool dark = f >= 50 && f < 100; // 2.0 s to 4.0 s
        const auto samples = dark ? flat(16) : moving(f);
        note(found, black.observe(luma.summarize(samples, 16, 235, 0.10), f * kFrameUs, kFrameUs), black.stretch());
    }
    EXPECT_EQ(found.started, 1);
    EXPECT_EQ(found.ended, 1);
    EXPECT_EQ(found.startUs, 2000000);
    EXPECT_EQ(found.endUs, 4000000);
}

TEST(BlackDetector, BlackShorterThanTheMinimumIsNoStretch)
{
    ContentSettings settings;
    BlackDetector black(settings);
    LumaSample luma;
    Found found;
    for (int f = 0; f < 100; ++f) {
        const bool dark = f >= 50 && f < 62; // 0.48 s
        note(found, black.observe(luma.summarize(dark ? flat(20) : moving(f), 16, 235, 0.10), f * kFrameUs, kFrameUs),
             black.stretch());
    }
    EXPECT_EQ(found.started, 0);
}

TEST(BlackDetector, AStretchStillOpenEndsWithTheStream)
{
    ContentSettings settings;
    settings.blackMinUs = 1000000;
    BlackDetector black(settings);
    LumaSample luma;
    Found found;
    for (int f = 0; f < 30; ++f)
        note(found, black.observe(luma.summarize(flat(16), 16, 235, 0.10), f * kFrameUs, kFrameUs), black.stretch());
    EXPECT_EQ(found.started, 1) << "found once it has lasted the minimum set";
    EXPECT_TRUE(black.stretch().open());
    note(found, black.finish(), black.stretch());
    EXPECT_EQ(found.ended, 1);
    EXPECT_EQ(found.endUs, 30 * kFrameUs);
}

TEST(FreezeDetector, FindsARepeatedPictureFromTheLastChangeAndNotBlack)
{
    ContentSettings settings;
    FreezeDetector freeze(settings);
    BlackDetector black(settings);
    LumaSample luma;
    Found found;
    for (int f = 0; f < 250; ++f) {
        std::vector<std::uint8_t> samples = moving(f);
        if (f >= 50 && f < 100)
            samples = moving(50); // the picture of 2.0 s held to 4.0 s
        else if (f >= 150 && f < 200)
            samples = flat(16); // black: still, but counted as black only
        const PictureSummary picture = luma.summarize(samples, 16, 235, 0.10);
        const bool isBlack = black.black(picture);
        note(found, freeze.observe(picture, isBlack, f * kFrameUs, kFrameUs), freeze.stretch());
    }
    EXPECT_EQ(found.started, 1);
    EXPECT_EQ(found.ended, 1);
    EXPECT_EQ(found.startUs, 2000000);
    EXPECT_EQ(found.endUs, 4000000);
}

TEST(FreezeDetector, NoiseBelowTheLevelIsStillAboveItMoves)
{
    ContentSettings settings;
    settings.freezeNoiseDb = -40.0; // 1 % of the range
    FreezeDetector freeze(settings);
    LumaSample luma;
    Found found;
    for (int f = 0; f < 50; ++f) {
        // Every sample one code up or down: 1/219 of the range, under 1 %.
        note(found, freeze.observe(luma.summarize(flat(static_cast<std::uint8_t>(120 + f % 2)), 16, 235, 0.10), false,
                                   f * kFrameUs, kFrameUs),
             freeze.stretch());
    }
    EXPECT_EQ(found.started, 1);
    FreezeDetector strict(ContentSettings {});
    LumaSample luma2;
    Found none;
    for (int f = 0; f < 50; ++f)
        note(none, strict.observe(luma2.summarize(flat(static_cast<std::uint8_t>(120 + f % 2)), 16, 235, 0.10), false,
                                  f * kFrameUs, kFrameUs),
             strict.stretch());
    EXPECT_EQ(none.started, 0) << "-60 dB is 0.1 % of the range: one code in 219 is a change";
}

TEST(SilenceDetector, DigitalSilenceAndAQuietToneAreEachOneStretch)
{
    ContentSettings settings;
    SilenceDetector silence(settings);
    Found first, second;
    const double silent = -std::numeric_limits<double>::infinity();
    for (int b = 0; b < 800; ++b) {
        const std::int64_t t = b * kBlockUs;
        double peak = -6.0;
        if (b >= 200 && b < 400)
            peak = silent; // 2.0 s to 4.0 s
        else if (b >= 600 && b < 800)
            peak = -70.0; // 6.0 s to 8.0 s
        Found& f = b < 500 ? first : second;
        note(f, silence.observe(peak, t, kBlockUs), silence.stretch());
    }
    note(second, silence.finish(), silence.stretch());
    EXPECT_EQ(first.started, 1);
    EXPECT_EQ(first.startUs, 2000000);
    EXPECT_EQ(first.endUs, 4000000);
    EXPECT_EQ(second.started, 1);
    EXPECT_EQ(second.startUs, 6000000);
    EXPECT_EQ(second.endUs, 8000000);
}

TEST(SilenceDetector, SoundAtTheLevelIsNotSilent)
{
    SilenceDetector silence(ContentSettings {});
    Found found;
    for (int b = 0; b < 300; ++b)
        note(found, silence.observe(-60.0, b * kBlockUs, kBlockUs), silence.stretch());
    EXPECT_EQ(found.started, 0);
}

namespace {

// A flash on the picture and a beep in the sound every second for `seconds`,
// the sound soundLateUs after the picture.
std::optional<double> offsetOfPattern(std::int64_t soundLateUs, int seconds, bool beeps = true)
{
    SyncPatternOffset sync;
    for (std::int64_t t = 0; t < seconds * 1000000LL; t += kBlockUs) {
        if (t % kFrameUs == 0)
            sync.observePicture(t % 1000000 < 80000 ? 1.0 : 0.0, t);
        const std::int64_t intoBeep = (t - soundLateUs) % 1000000;
        const bool loud = beeps && t >= soundLateUs && intoBeep >= 0 && intoBeep < 20000;
        sync.observeSound(loud ? -12.0 : -std::numeric_limits<double>::infinity(), t);
    }
    return sync.offsetMs();
}

} // namespace

TEST(SyncPatternOffset, SoundLateInSyncAndEarly)
{
    EXPECT_EQ(offsetOfPattern(200000, 6), 200.0);
    EXPECT_EQ(offsetOfPattern(0, 6), 0.0);
    EXPECT_EQ(offsetOfPattern(-120000 + 1000000, 6), -120.0) << "a beep 120 ms before the next flash is early";
}

TEST(SyncPatternOffset, NoneWithoutThePattern)
{
    EXPECT_FALSE(offsetOfPattern(0, 2)) << "two flashes are not yet a pattern";
    EXPECT_FALSE(offsetOfPattern(0, 6, false)) << "flashes without beeps";
    SyncPatternOffset sync;
    for (std::int64_t t = 0; t < 6000000; t += kFrameUs) {
        sync.observePicture(0.6, t); // bright all along: no flash
        sync.observeSound(-10.0, t);
    }
    EXPECT_FALSE(sync.offsetMs());
}

// LoudnessMeter against libebur128 doing all of it itself: the same sound, in
// each of the sink formats, at each of the oversampling factors, must read the
// same loudness (the momentary and short-term to a rounding, being summed
// from blocks of 100 ms) and the same true peak to the last bit,
// TruePeakMeter's skipping of blocks that cannot reach the peak included.
#include "LoudnessMeter.h"
#include "SoundSamples.h"
#include "TruePeakMeter.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <memory>
#include <random>
#include <string>
#include <vector>

using namespace zephyrscope;

namespace {

enum class Signal {
    // A sine at a quarter of the rate, sampled 45 degrees off its crests: the
    // samples reach 0.71 of its height, the true peak all of it.
    BetweenSamples,
    // A tone loud and soft by turns every two seconds (a loudness range): the
    // soft parts cannot reach the peak.
    Bursts,
    Noise,
};

struct Case {
    unsigned rate;
    std::vector<LoudnessMeter::Channel> channels;
    SoundSamples::Format format;
    Signal signal;
};

std::string nameOf(const ::testing::TestParamInfo<Case>& info)
{
    static const char* const formats[] = {"Float32", "Float64", "Int16", "Int32"};
    static const char* const signals[] = {"BetweenSamples", "Bursts", "Noise"};
    return std::string(signals[static_cast<int>(info.param.signal)]) + "_" + std::to_string(info.param.rate) + "Hz_"
        + std::to_string(info.param.channels.size()) + "ch_" + formats[static_cast<int>(info.param.format)];
}

// Eight seconds of the signal, interleaved, in shares of full scale.
std::vector<double> generate(const Case& c)
{
    const std::size_t channels = c.channels.size(), frames = 8 * static_cast<std::size_t>(c.rate);
    std::vector<double> out(frames * channels);
    std::mt19937 random(7);
    std::uniform_real_distribution<double> noise(-0.5, 0.5);
    for (std::size_t n = 0; n < frames; ++n) {
        const double t = static_cast<double>(n) / c.rate;
        for (std::size_t ch = 0; ch < channels; ++ch) {
            double v = 0.0;
            switch (c.signal) {
            case Signal::BetweenSamples:
                v = 0.9 * std::sin(M_PI / 2 * static_cast<double>(n) + M_PI / 4);
                break;
            case Signal::Bursts:
                v = (static_cast<std::size_t>(t / 2) % 2 ? 0.05 : 0.9) * std::sin(2 * M_PI * 997 * t + ch);
                break;
            case Signal::Noise:
                v = noise(random);
                break;
            }
            out[n * channels + ch] = v;
        }
    }
    return out;
}

// The samples in the case's format, as a sink would get them.
struct Samples {
    std::vector<float> f32;
    std::vector<double> f64;
    std::vector<std::int16_t> s16;
    std::vector<std::int32_t> s32;

    Samples(const std::vector<double>& values)
    {
        for (const double v : values) {
            f32.push_back(static_cast<float>(v));
            f64.push_back(v);
            s16.push_back(static_cast<std::int16_t>(std::lround(v * 32767.0)));
            s32.push_back(static_cast<std::int32_t>(std::llround(v * 2147483647.0)));
        }
    }
    const void* at(SoundSamples::Format format, std::size_t sample) const
    {
        switch (format) {
        case SoundSamples::Format::Float32:
            return f32.data() + sample;
        case SoundSamples::Format::Float64:
            return f64.data() + sample;
        case SoundSamples::Format::Int16:
            return s16.data() + sample;
        case SoundSamples::Format::Int32:
            return s32.data() + sample;
        }
        return nullptr;
    }
};

void addToReference(ebur128_state* state, SoundSamples::Format format, const void* data, std::size_t frames)
{
    switch (format) {
    case SoundSamples::Format::Float32:
        ebur128_add_frames_float(state, static_cast<const float*>(data), frames);
        break;
    case SoundSamples::Format::Float64:
        ebur128_add_frames_double(state, static_cast<const double*>(data), frames);
        break;
    case SoundSamples::Format::Int16:
        ebur128_add_frames_short(state, static_cast<const short*>(data), frames);
        break;
    case SoundSamples::Format::Int32:
        ebur128_add_frames_int(state, static_cast<const int*>(data), frames);
        break;
    }
}

class LoudnessMeterAgainstLibebur128 : public ::testing::TestWithParam<Case> {};

} // namespace

TEST_P(LoudnessMeterAgainstLibebur128, ReadsTheSameLoudnessAndTruePeakToTheLastBit)
{
    const Case& c = GetParam();
    const unsigned channels = static_cast<unsigned>(c.channels.size());
    const std::vector<double> values = generate(c);
    const Samples samples(values);

    LoudnessMeter meter;
    meter.start(c.rate, c.channels);
    TruePeakMeter peaks, narrowPeaks;
    peaks.start(c.rate, channels);
    narrowPeaks.start(c.rate, channels, false);
    struct Free {
        void operator()(ebur128_state* state) const { ebur128_destroy(&state); }
    };
    std::unique_ptr<ebur128_state, Free> reference(ebur128_init(
        channels, c.rate,
        EBUR128_MODE_M | EBUR128_MODE_S | EBUR128_MODE_I | EBUR128_MODE_LRA | EBUR128_MODE_TRUE_PEAK
            | EBUR128_MODE_HISTOGRAM));
    ASSERT_TRUE(reference);
    for (unsigned ch = 0; ch < channels; ++ch)
        ebur128_set_channel(reference.get(), ch, c.channels[ch]);

    // Blocks of an odd size, as a decoder's are, across the meter's own blocks.
    constexpr std::size_t kBlockFrames = 1021;
    const auto feed = [&](std::size_t from, std::size_t to) {
        for (std::size_t first = from; first < to; first += kBlockFrames) {
            const std::size_t count = std::min(kBlockFrames, to - first);
            const void* data = samples.at(c.format, first * channels);
            meter.add(SoundSamples {c.format, data, count});
            SoundSamples {c.format, data, count}.read([&](const auto* typed, float) {
                peaks.add(typed, count);
                narrowPeaks.add(typed, count);
            });
            addToReference(reference.get(), c.format, data, count);
        }
    };
    const std::size_t frames = values.size() / channels;
    // 1.5 s in, the short-term window still reaches back before the sound.
    const std::size_t early = c.rate * 3 / 2;
    feed(0, early);
    {
        const LoudnessMeter::Reading reading = meter.read();
        double momentary = 0, shortTerm = 0;
        ebur128_loudness_momentary(reference.get(), &momentary);
        ebur128_loudness_shortterm(reference.get(), &shortTerm);
        ASSERT_TRUE(reading.momentaryLufs && reading.shortTermLufs);
        EXPECT_NEAR(*reading.momentaryLufs, momentary, 1e-9);
        EXPECT_NEAR(*reading.shortTermLufs, shortTerm, 1e-9);
    }
    feed(early, frames);

    const LoudnessMeter::Reading reading = meter.read();
    double momentary = 0, shortTerm = 0, integrated = 0, range = 0;
    ebur128_loudness_momentary(reference.get(), &momentary);
    ebur128_loudness_shortterm(reference.get(), &shortTerm);
    ebur128_loudness_global(reference.get(), &integrated);
    ebur128_loudness_range(reference.get(), &range);
    double peak = 0.0, samplePeak = 0.0;
    for (unsigned ch = 0; ch < channels; ++ch) {
        double p = 0.0;
        ebur128_true_peak(reference.get(), ch, &p);
        peak = std::max(peak, p);
        ebur128_sample_peak(reference.get(), ch, &p);
        samplePeak = std::max(samplePeak, p);
    }
    std::printf("[ measured ] integrated %.3f LUFS, range %.3f LU, true peak %.4f dBTP (samples' peak %.4f dBFS), "
                "%llu of %llu blocks skipped\n",
                integrated, range, 20 * std::log10(peak), 20 * std::log10(samplePeak),
                static_cast<unsigned long long>(peaks.blocksSkipped()),
                static_cast<unsigned long long>(peaks.blocksSkipped() + peaks.blocksInterpolated()));

    ASSERT_TRUE(reading.momentaryLufs && reading.shortTermLufs && reading.integratedLufs && reading.rangeLu);
    // From the energies of its blocks of 100 ms: the same to a rounding.
    EXPECT_NEAR(*reading.momentaryLufs, momentary, 1e-9);
    EXPECT_NEAR(*reading.shortTermLufs, shortTerm, 1e-9);
    EXPECT_DOUBLE_EQ(*reading.integratedLufs, integrated);
    EXPECT_DOUBLE_EQ(*reading.rangeLu, range);
    ASSERT_TRUE(reading.truePeakDbtp);
    EXPECT_EQ(peaks.peak(), peak) << "the true peak is libebur128's to the last bit";
    EXPECT_EQ(narrowPeaks.peak(), peak) << "without AVX2 too";
    EXPECT_EQ(*reading.truePeakDbtp, 20.0 * std::log10(peak));

    if (c.rate < 192000 && c.signal == Signal::BetweenSamples) {
        EXPECT_GT(20 * std::log10(peak), 20 * std::log10(samplePeak) + 2.0) << "oversampled: crests between samples";
    }
    if (c.signal == Signal::Bursts) {
        EXPECT_GT(*reading.rangeLu, 1.0);
        if (c.rate < 192000) {
            EXPECT_GT(peaks.blocksSkipped(), peaks.blocksInterpolated() / 2) << "the soft parts are skipped";
        }
    }
    if (c.rate < 192000 && c.signal == Signal::Noise) {
        EXPECT_GT(peaks.blocksInterpolated(), 0u);
    }
}

INSTANTIATE_TEST_SUITE_P(
    FormatsRatesAndSignals, LoudnessMeterAgainstLibebur128,
    ::testing::Values(Case {48000, {EBUR128_LEFT, EBUR128_RIGHT}, SoundSamples::Format::Float32, Signal::Bursts},
                      Case {48000, {EBUR128_LEFT, EBUR128_RIGHT}, SoundSamples::Format::Int16, Signal::BetweenSamples},
                      Case {44100, {EBUR128_LEFT}, SoundSamples::Format::Int32, Signal::Noise},
                      Case {96000, {EBUR128_LEFT, EBUR128_RIGHT}, SoundSamples::Format::Float64, Signal::Bursts},
                      Case {96000, {EBUR128_LEFT, EBUR128_RIGHT}, SoundSamples::Format::Float32, Signal::BetweenSamples},
                      Case {192000, {EBUR128_LEFT, EBUR128_RIGHT}, SoundSamples::Format::Float32, Signal::BetweenSamples},
                      Case {48000,
                            {EBUR128_LEFT, EBUR128_RIGHT, EBUR128_CENTER, EBUR128_UNUSED, EBUR128_LEFT_SURROUND,
                             EBUR128_RIGHT_SURROUND},
                            SoundSamples::Format::Int16, Signal::Noise}),
    nameOf);

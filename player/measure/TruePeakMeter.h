#pragma once

// The true peak of a stream of sound by ITU-R BS.1770's method as libebur128
// measures it, figure for figure: each channel oversampled four times (twice
// from 96 kHz, not at all from 192 kHz) by libebur128's 49-tap windowed-sinc
// interpolator, the samples' own peak counted too. libebur128 does it a sample
// at a time; this does it a block at a time, several outputs at once, and
// skips a block that cannot reach the peak found so far (the interpolator's
// gain bounds its outputs by the block's largest sample), which most of a
// programme's blocks cannot. Not thread-safe: its owner guards it. Private to
// player/.

#include <cstddef>
#include <cstdint>
#include <vector>

namespace zephyrscope {

class TruePeakMeter {
public:
    // A new stream; the last one's peak goes. No channels: nothing is measured.
    // widest: with the widest arithmetic the processor has (the tests ask for
    // the narrower too, as a processor without AVX2 would do it).
    void start(unsigned rate, unsigned channels, bool widest = true);

    // Interleaved samples, frames × channels of them, in the sink's own format;
    // integers are shares of their full scale.
    void add(const float* samples, std::size_t frames) { addSamples(samples, frames, 1.0); }
    void add(const double* samples, std::size_t frames) { addSamples(samples, frames, 1.0); }
    void add(const std::int16_t* samples, std::size_t frames) { addSamples(samples, frames, 32768.0); }
    void add(const std::int32_t* samples, std::size_t frames) { addSamples(samples, frames, 2147483648.0); }

    // The largest of every channel's true and sample peaks, linear (1: full
    // scale); 0 before any sound.
    double peak() const { return m_truePeak > m_samplePeak ? m_truePeak : m_samplePeak; }

    // Blocks of up to 480 frames of one channel skipped because they could not
    // reach the peak, and blocks interpolated.
    std::uint64_t blocksSkipped() const { return m_skipped; }
    std::uint64_t blocksInterpolated() const { return m_interpolated; }

private:
    // One subfilter: the outputs of every input sample that are its share
    // of the oversampled stream; its taps' coefficients and how many input
    // samples back each reaches.
    struct Phase {
        std::vector<double> coefficients;
        std::vector<std::size_t> delays;
    };
    template <typename T>
    void addSamples(const T* samples, std::size_t frames, double fullScale);
    void interpolate(const double* input, std::size_t frames);

    unsigned m_channels = 0;
    std::vector<Phase> m_phases;
    bool m_avx2 = false;
    std::size_t m_history = 0;              // input samples before the block the subfilters reach
    double m_gain = 0.0;                    // the largest subfilter's sum of |coefficient|
    // Per channel: the last m_history samples, then the block's.
    std::vector<std::vector<double>> m_input;
    double m_truePeak = 0.0, m_samplePeak = 0.0;
    std::uint64_t m_skipped = 0, m_interpolated = 0;
};

} // namespace zephyrscope

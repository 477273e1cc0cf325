#include "TruePeakMeter.h"

#include <algorithm>
#include <cmath>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace zephyrscope {

namespace {

// libebur128's interpolator: 49 taps of a sinc windowed by Hann's window, its
// coefficients nearer zero than this dropped.
constexpr unsigned kTaps = 49;
constexpr double kAlmostZero = 0.000001;
// What a block's bound must stay below the peak by to be skipped: more than
// the rounding of the bound's and the outputs' arithmetic could ever make up.
constexpr double kBoundMargin = 1e-6;
// Blocks judged whether they can reach the peak: 10 ms at 48 kHz.
constexpr std::size_t kBlockFrames = 480;


} // namespace

void TruePeakMeter::start(unsigned rate, unsigned channels)
{
    m_channels = channels;
    m_phases.clear();
    m_history = 0;
    m_gain = 0.0;
    m_truePeak = m_samplePeak = 0.0;
    m_skipped = m_interpolated = 0;
    const unsigned factor = rate < 96000 ? 4 : rate < 192000 ? 2 : 1;
    if (factor > 1) {
        m_phases.resize(factor);
        for (unsigned j = 0; j < kTaps; ++j) {
            const double m = static_cast<double>(j) - static_cast<double>(kTaps - 1) / 2.0;
            double c = 1.0;
            if (std::fabs(m) > kAlmostZero)
                c = std::sin(m * M_PI / factor) / (m * M_PI / factor);
            c *= 0.5 * (1 - std::cos(2 * M_PI * j / (kTaps - 1)));
            if (std::fabs(c) > kAlmostZero)
                m_phases[j % factor].push_back({c, j / factor});
        }
        for (const std::vector<Tap>& phase : m_phases) {
            double gain = 0.0;
            for (const Tap& tap : phase) {
                gain += std::fabs(tap.coefficient);
                m_history = std::max(m_history, tap.delay);
            }
            m_gain = std::max(m_gain, gain);
        }
    }
    m_input.assign(channels, std::vector<double>(m_history, 0.0));
}

void TruePeakMeter::add(const float* samples, std::size_t frames)
{
    addSamples(samples, frames, 1.0);
}

void TruePeakMeter::add(const double* samples, std::size_t frames)
{
    addSamples(samples, frames, 1.0);
}

void TruePeakMeter::add(const std::int16_t* samples, std::size_t frames)
{
    addSamples(samples, frames, 32768.0);
}

void TruePeakMeter::add(const std::int32_t* samples, std::size_t frames)
{
    addSamples(samples, frames, 2147483648.0);
}

template <typename T>
void TruePeakMeter::addSamples(const T* samples, std::size_t frames, double fullScale)
{
    if (m_channels == 0 || frames == 0)
        return;
    double sampleMax = 0.0;
    for (std::size_t i = 0; i < frames * m_channels; ++i) {
        const double v = static_cast<double>(samples[i]);
        sampleMax = std::max(sampleMax, std::max(v, -v));
    }
    m_samplePeak = std::max(m_samplePeak, sampleMax / fullScale);
    if (m_phases.empty())
        return;
    for (unsigned c = 0; c < m_channels; ++c) {
        std::vector<double>& input = m_input[c];
        input.resize(m_history + frames);
        // The interpolator's input: a float, as libebur128 keeps it.
        for (std::size_t n = 0; n < frames; ++n)
            input[m_history + n] = static_cast<float>(static_cast<double>(samples[n * m_channels + c]) / fullScale);
        for (std::size_t first = 0; first < frames; first += kBlockFrames) {
            const std::size_t count = std::min(kBlockFrames, frames - first);
            // No output of the block can exceed the largest input it reaches times the gain.
            double largest = 0.0;
            for (std::size_t i = first; i < first + m_history + count; ++i)
                largest = std::max(largest, std::fabs(input[i]));
            if (largest * m_gain * (1.0 + kBoundMargin) < m_truePeak) {
                ++m_skipped;
            } else {
                ++m_interpolated;
                interpolate(input.data() + m_history + first, count);
            }
        }
        std::copy(input.end() - static_cast<std::ptrdiff_t>(m_history), input.end(), input.begin());
        input.resize(m_history);
    }
}

void TruePeakMeter::interpolate(const double* input, std::size_t frames)
{
    double largest = m_truePeak;
    for (const std::vector<Tap>& phase : m_phases) {
        std::size_t n = 0;
#if defined(__SSE2__)
        // Eight outputs at once, in four pairs, each output summed in the
        // taps' order as libebur128 sums it.
        __m128d largest2 = _mm_set1_pd(largest);
        const __m128d sign = _mm_set1_pd(-0.0);
        const auto keep = [&](__m128d sum) {
            // libebur128 keeps each output as a float.
            const __m128d out = _mm_cvtps_pd(_mm_cvtpd_ps(sum));
            // maxpd gives its second operand for a NaN, which libebur128 skips too.
            largest2 = _mm_max_pd(_mm_andnot_pd(sign, out), largest2);
        };
        for (; n + 8 <= frames; n += 8) {
            __m128d s0 = _mm_setzero_pd(), s1 = _mm_setzero_pd(), s2 = _mm_setzero_pd(), s3 = _mm_setzero_pd();
            for (const Tap& tap : phase) {
                const __m128d c = _mm_set1_pd(tap.coefficient);
                const double* in = input + n - tap.delay;
                s0 = _mm_add_pd(s0, _mm_mul_pd(_mm_loadu_pd(in), c));
                s1 = _mm_add_pd(s1, _mm_mul_pd(_mm_loadu_pd(in + 2), c));
                s2 = _mm_add_pd(s2, _mm_mul_pd(_mm_loadu_pd(in + 4), c));
                s3 = _mm_add_pd(s3, _mm_mul_pd(_mm_loadu_pd(in + 6), c));
            }
            keep(s0);
            keep(s1);
            keep(s2);
            keep(s3);
        }
        double pair[2];
        _mm_storeu_pd(pair, largest2);
        largest = std::max(largest, std::max(pair[0], pair[1]));
#endif
        for (; n < frames; ++n) {
            double sum = 0.0;
            for (const Tap& tap : phase)
                sum += input[n - tap.delay] * tap.coefficient;
            const double out = static_cast<float>(sum);
            largest = std::max(largest, std::max(out, -out));
        }
    }
    m_truePeak = largest;
}

} // namespace zephyrscope

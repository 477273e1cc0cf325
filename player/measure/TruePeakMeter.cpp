#include "TruePeakMeter.h"

#include <algorithm>
#include <cmath>

#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#define ZEPHYRSCOPE_TRUE_PEAK_AVX2 1
#endif
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

void TruePeakMeter::start(unsigned rate, unsigned channels, bool widest)
{
    m_channels = channels;
    m_phases.clear();
    m_history = 0;
    m_gain = 0.0;
    m_truePeak = m_samplePeak = 0.0;
    m_skipped = m_interpolated = 0;
#if defined(ZEPHYRSCOPE_TRUE_PEAK_AVX2)
    m_avx2 = widest && __builtin_cpu_supports("avx2");
#endif
    const unsigned factor = rate < 96000 ? 4 : rate < 192000 ? 2 : 1;
    if (factor > 1) {
        m_phases.resize(factor);
        for (unsigned j = 0; j < kTaps; ++j) {
            const double m = static_cast<double>(j) - static_cast<double>(kTaps - 1) / 2.0;
            double c = 1.0;
            if (std::fabs(m) > kAlmostZero)
                c = std::sin(m * M_PI / factor) / (m * M_PI / factor);
            c *= 0.5 * (1 - std::cos(2 * M_PI * j / (kTaps - 1)));
            if (std::fabs(c) > kAlmostZero) {
                m_phases[j % factor].coefficients.push_back(c);
                m_phases[j % factor].delays.push_back(j / factor);
            }
        }
        for (const Phase& phase : m_phases) {
            double gain = 0.0;
            for (std::size_t t = 0; t < phase.coefficients.size(); ++t) {
                gain += std::fabs(phase.coefficients[t]);
                m_history = std::max(m_history, phase.delays[t]);
            }
            m_gain = std::max(m_gain, gain);
        }
    }
    m_input.assign(channels, std::vector<double>(m_history, 0.0));
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

// The sample types add() takes.
template void TruePeakMeter::addSamples(const float*, std::size_t, double);
template void TruePeakMeter::addSamples(const double*, std::size_t, double);
template void TruePeakMeter::addSamples(const std::int16_t*, std::size_t, double);
template void TruePeakMeter::addSamples(const std::int32_t*, std::size_t, double);

namespace {

// Each function below gives the largest magnitude of one subfilter's outputs
// for input[0, frames) (the input before it reachable), as many at once as it
// can, and how many it did; every output is summed in the taps' order from
// zero, as libebur128 sums it, each product and sum rounded on its own (no
// fused multiply-add), and kept as a float, as libebur128 keeps it. A NaN is
// skipped, as libebur128 skips it (maxpd gives its second operand for one).

#if defined(ZEPHYRSCOPE_TRUE_PEAK_AVX2)
// Sixteen at once, in four fours, where the processor has AVX2.
__attribute__((target("avx2"))) double largestAvx2(const double* input, std::size_t frames,
                                                   const double* coefficients, const std::size_t* delays,
                                                   std::size_t taps, double largest, std::size_t& done)
{
    __m256d largest4 = _mm256_set1_pd(largest);
    const __m256d sign = _mm256_set1_pd(-0.0);
    std::size_t n = 0;
    for (; n + 16 <= frames; n += 16) {
        __m256d s0 = _mm256_setzero_pd(), s1 = _mm256_setzero_pd(), s2 = _mm256_setzero_pd(),
                s3 = _mm256_setzero_pd();
        for (std::size_t t = 0; t < taps; ++t) {
            const __m256d c = _mm256_set1_pd(coefficients[t]);
            const double* in = input + n - delays[t];
            s0 = _mm256_add_pd(s0, _mm256_mul_pd(_mm256_loadu_pd(in), c));
            s1 = _mm256_add_pd(s1, _mm256_mul_pd(_mm256_loadu_pd(in + 4), c));
            s2 = _mm256_add_pd(s2, _mm256_mul_pd(_mm256_loadu_pd(in + 8), c));
            s3 = _mm256_add_pd(s3, _mm256_mul_pd(_mm256_loadu_pd(in + 12), c));
        }
        for (const __m256d sum : {s0, s1, s2, s3}) {
            const __m256d out = _mm256_cvtps_pd(_mm256_cvtpd_ps(sum));
            largest4 = _mm256_max_pd(_mm256_andnot_pd(sign, out), largest4);
        }
    }
    double four[4];
    _mm256_storeu_pd(four, largest4);
    done = n;
    return std::max(std::max(four[0], four[1]), std::max(four[2], four[3]));
}
#endif

#if defined(__SSE2__)
// Eight at once, in four pairs.
double largestSse2(const double* input, std::size_t frames, const double* coefficients, const std::size_t* delays,
                   std::size_t taps, double largest, std::size_t& done)
{
    __m128d largest2 = _mm_set1_pd(largest);
    const __m128d sign = _mm_set1_pd(-0.0);
    std::size_t n = 0;
    for (; n + 8 <= frames; n += 8) {
        __m128d s0 = _mm_setzero_pd(), s1 = _mm_setzero_pd(), s2 = _mm_setzero_pd(), s3 = _mm_setzero_pd();
        for (std::size_t t = 0; t < taps; ++t) {
            const __m128d c = _mm_set1_pd(coefficients[t]);
            const double* in = input + n - delays[t];
            s0 = _mm_add_pd(s0, _mm_mul_pd(_mm_loadu_pd(in), c));
            s1 = _mm_add_pd(s1, _mm_mul_pd(_mm_loadu_pd(in + 2), c));
            s2 = _mm_add_pd(s2, _mm_mul_pd(_mm_loadu_pd(in + 4), c));
            s3 = _mm_add_pd(s3, _mm_mul_pd(_mm_loadu_pd(in + 6), c));
        }
        for (const __m128d sum : {s0, s1, s2, s3}) {
            const __m128d out = _mm_cvtps_pd(_mm_cvtpd_ps(sum));
            largest2 = _mm_max_pd(_mm_andnot_pd(sign, out), largest2);
        }
    }
    double pair[2];
    _mm_storeu_pd(pair, largest2);
    done = n;
    return std::max(pair[0], pair[1]);
}
#endif

// One at a time: the rest.
double largestOneByOne(const double* input, std::size_t frames, const double* coefficients,
                       const std::size_t* delays, std::size_t taps, double largest, std::size_t from)
{
    for (std::size_t n = from; n < frames; ++n) {
        double sum = 0.0;
        for (std::size_t t = 0; t < taps; ++t)
            sum += input[n - delays[t]] * coefficients[t];
        const double out = static_cast<float>(sum);
        largest = std::max(largest, std::max(out, -out));
    }
    return largest;
}

} // namespace

void TruePeakMeter::interpolate(const double* input, std::size_t frames)
{
    double largest = m_truePeak;
    for (const Phase& phase : m_phases) {
        const double* coefficients = phase.coefficients.data();
        const std::size_t* delays = phase.delays.data();
        const std::size_t taps = phase.coefficients.size();
        std::size_t done = 0;
#if defined(ZEPHYRSCOPE_TRUE_PEAK_AVX2)
        if (m_avx2)
            largest = largestAvx2(input, frames, coefficients, delays, taps, largest, done);
#endif
#if defined(__SSE2__)
        if (done == 0)
            largest = largestSse2(input, frames, coefficients, delays, taps, largest, done);
#endif
        largest = largestOneByOne(input, frames, coefficients, delays, taps, largest, done);
    }
    m_truePeak = largest;
}

} // namespace zephyrscope

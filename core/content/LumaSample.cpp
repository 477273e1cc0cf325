#include "LumaSample.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace zephyrscope {

namespace {

struct Sums {
    std::uint64_t dark = 0, level = 0, difference = 0;
};

// The dark samples (below the code darkBelow), the sum of the samples and of
// their distances to the previous picture's (when there is one). A picture
// has tens of thousands of samples thirty times a second: sixteen at a time
// where the processor can.
Sums sum(const std::uint8_t* samples, const std::uint8_t* previous, std::size_t count, int darkBelow)
{
    Sums sums;
    std::size_t i = 0;
#if defined(__SSE2__)
    const __m128i zero = _mm_setzero_si128();
    const __m128i one = _mm_set1_epi8(1);
    // A sample is dark when it is at most the code below darkBelow.
    const __m128i darkMost = _mm_set1_epi8(static_cast<char>(std::clamp(darkBelow - 1, 0, 255)));
    const bool anyDark = darkBelow > 0;
    __m128i dark = zero, level = zero, difference = zero;
    for (; i + 16 <= count; i += 16) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(samples + i));
        level = _mm_add_epi64(level, _mm_sad_epu8(v, zero));
        if (previous) {
            const __m128i p = _mm_loadu_si128(reinterpret_cast<const __m128i*>(previous + i));
            difference = _mm_add_epi64(difference, _mm_sad_epu8(v, p));
        }
        if (anyDark) {
            const __m128i isDark = _mm_cmpeq_epi8(_mm_min_epu8(v, darkMost), v);
            dark = _mm_add_epi64(dark, _mm_sad_epu8(_mm_and_si128(isDark, one), zero));
        }
    }
    const auto total = [](__m128i pair) {
        std::uint64_t halves[2];
        _mm_storeu_si128(reinterpret_cast<__m128i*>(halves), pair);
        return halves[0] + halves[1];
    };
    sums.dark = total(dark);
    sums.level = total(level);
    sums.difference = total(difference);
#endif
    for (; i < count; ++i) {
        const int v = samples[i];
        sums.dark += v < darkBelow;
        sums.level += static_cast<std::uint64_t>(v);
        if (previous)
            sums.difference += static_cast<std::uint64_t>(std::abs(v - static_cast<int>(previous[i])));
    }
    return sums;
}

} // namespace

PictureSummary LumaSample::summarize(std::span<const std::uint8_t> samples, int blackCode, int whiteCode,
                                     double darkRatio)
{
    PictureSummary summary;
    if (samples.empty())
        return summary;
    const double range = std::max(1, whiteCode - blackCode);
    // A whole code is below the limit when it is below the limit's ceiling.
    const double darkBelow = std::clamp(std::ceil(blackCode + darkRatio * range), -1.0, 256.0);
    const bool comparable = m_previous.size() == samples.size();
    const Sums sums = sum(samples.data(), comparable ? m_previous.data() : nullptr, samples.size(),
                          static_cast<int>(darkBelow));
    const double n = static_cast<double>(samples.size());
    summary.darkShare = static_cast<double>(sums.dark) / n;
    summary.meanLevel = std::clamp((static_cast<double>(sums.level) / n - blackCode) / range, 0.0, 1.0);
    if (comparable)
        summary.difference = static_cast<double>(sums.difference) / n / range;
    m_previous.assign(samples.begin(), samples.end());
    return summary;
}

} // namespace zephyrscope

#pragma once

// A repeatable source of random numbers: the same seed gives the same sequence
// on every build and standard library, which std::uniform_real_distribution and
// std::normal_distribution do not promise (only the engine's output is fixed).
// Thread: not shared; each model owns one.

#include <cmath>
#include <cstdint>
#include <random>

namespace zephyrscope::tools::impair {

class SeededRandom {
public:
    explicit SeededRandom(std::uint64_t seed) : m_engine(seed) {}

    // Uniform in [0, 1), from the top 53 bits of one draw.
    double uniform() { return static_cast<double>(m_engine() >> 11) * 0x1.0p-53; }

    // Standard normal (Box-Muller, one of the pair).
    double normal()
    {
        const double u1 = 1.0 - uniform(); // (0, 1]: the logarithm stays finite
        const double u2 = uniform();
        return std::sqrt(-2.0 * std::log(u1)) * std::cos(2.0 * 3.14159265358979323846 * u2);
    }

private:
    std::mt19937_64 m_engine;
};

} // namespace zephyrscope::tools::impair

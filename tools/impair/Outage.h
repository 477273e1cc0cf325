#pragma once

// A link that goes down for a while: from startUs for durationUs everything is
// swallowed. Times are microseconds on the caller's clock; the relay measures
// them from its first datagram. Thread: one caller.

#include <cstdint>

namespace zephyrscope::tools::impair {

class Outage {
public:
    struct Params {
        std::int64_t startUs = 0;
        std::int64_t durationUs = 0; // 0: no outage
    };

    explicit Outage(const Params& params) : m_params(params) {}

    // Whether a datagram at nowUs falls in the outage; counted when it does.
    bool swallows(std::int64_t nowUs)
    {
        const bool inside = m_params.durationUs > 0 && nowUs >= m_params.startUs
            && nowUs < m_params.startUs + m_params.durationUs;
        if (inside)
            ++m_swallowed;
        return inside;
    }
    std::uint64_t swallowed() const { return m_swallowed; }

private:
    Params m_params;
    std::uint64_t m_swallowed = 0;
};

} // namespace zephyrscope::tools::impair

#pragma once

// When a link delivers a datagram: a fixed delay plus a jitter drawn uniform in
// [-jitter, +jitter] or normal with jitter as its standard deviation, never less
// than no delay at all. In order, a datagram whose draw would overtake the one
// before it waits for it (as behind one queue); otherwise it may overtake.
// Times are microseconds on any monotonic clock the caller chooses.
// Thread: one caller.

#include "SeededRandom.h"

#include <cstdint>

namespace zephyrscope::tools::impair {

class DelayModel {
public:
    enum class Jitter { Uniform, Normal };

    struct Params {
        std::int64_t delayUs = 0;
        std::int64_t jitterUs = 0;
        Jitter jitter = Jitter::Uniform;
        bool keepOrder = true;
        std::uint64_t seed = 1;
    };

    struct Counts {
        std::uint64_t seen = 0;
        std::uint64_t delayed = 0;        // sent later than they came
        std::uint64_t heldForOrder = 0;   // kept later than their draw so as not to overtake
        std::uint64_t reordered = 0;      // sent before one that came earlier
        std::int64_t totalDelayUs = 0;
    };

    explicit DelayModel(const Params& params);

    bool active() const { return m_params.delayUs > 0 || m_params.jitterUs > 0; }
    // When a datagram that arrives at arrivalUs leaves; counted.
    std::int64_t departureUs(std::int64_t arrivalUs);
    // The delay the last call drew, before any wait for order.
    std::int64_t lastDrawUs() const { return m_lastDrawUs; }
    const Counts& counts() const { return m_counts; }

private:
    Params m_params;
    SeededRandom m_random;
    std::int64_t m_latestDepartureUs = 0;
    std::int64_t m_lastDrawUs = 0;
    Counts m_counts;
};

} // namespace zephyrscope::tools::impair

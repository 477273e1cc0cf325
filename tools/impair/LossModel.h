#pragma once

// Which datagrams a link loses: none, every N-th, each one independently with a
// probability, or in bursts (a two-state Gilbert-Elliott chain: the bad state
// loses every datagram, the good state none; the chain's parameters come from
// the wanted loss rate and mean burst length). Random choices come from a
// seeded generator, so a run with the same seed loses the same datagrams.
// Thread: one caller.

#include "SeededRandom.h"

#include <cstdint>

namespace zephyrscope::tools::impair {

class LossModel {
public:
    enum class Kind { None, EveryNth, Random, GilbertElliott };

    struct Params {
        Kind kind = Kind::None;
        int every = 0;               // EveryNth: the N
        double rate = 0.0;           // Random, GilbertElliott: the long-run share lost, in [0, 1)
        double meanBurst = 5.0;      // GilbertElliott: mean datagrams per burst, >= 1
        std::uint64_t seed = 1;
    };

    struct Counts {
        std::uint64_t seen = 0, dropped = 0;
        std::uint64_t bursts = 0; // runs of consecutive drops
    };

    explicit LossModel(const Params& params);

    // Whether the next datagram is lost; counted.
    bool drops();
    const Counts& counts() const { return m_counts; }

private:
    bool decide();

    Params m_params;
    SeededRandom m_random;
    double m_goodToBad = 0.0, m_badToGood = 1.0;
    bool m_bad = false;
    bool m_lastDropped = false;
    Counts m_counts;
};

} // namespace zephyrscope::tools::impair

#pragma once

// What a relay does to the datagrams it passes on, and what it did. A datagram
// meets the models in the order a real path would: the link is down (outage),
// it is lost (loss), it waits for or is refused the bandwidth (rate cap), it
// travels (delay). Each model counts its own decisions, so a test can compare a
// receiver's figures with exactly what never reached it.
// Times are microseconds on the caller's monotonic clock. Thread: one caller.

#include "DelayModel.h"
#include "LossModel.h"
#include "Outage.h"
#include "RateCap.h"

#include <cstdint>
#include <optional>

namespace zephyrscope::tools::impair {

class Impairment {
public:
    struct Params {
        LossModel::Params loss;
        DelayModel::Params delay;
        RateCap::Params rate;
        Outage::Params outage; // its start is measured from the first datagram
    };

    struct Counts {
        std::uint64_t seen = 0;
        std::uint64_t lost = 0;      // by the loss model
        std::uint64_t swallowed = 0; // by the outage
        std::uint64_t capped = 0;    // refused by the rate cap's full queue
        std::uint64_t held = 0;      // waited in the rate cap's queue
        std::int64_t longestHoldUs = 0; // the longest of those waits
        std::uint64_t delayed = 0;   // sent later than they came, by the delay model
        std::uint64_t reordered = 0;
        // Everything that never leaves.
        std::uint64_t notForwarded() const { return lost + swallowed + capped; }
    };

    enum class Fate { Forwarded, Lost, Swallowed, Capped };

    struct Verdict {
        Fate fate = Fate::Forwarded;
        std::int64_t departureUs = 0; // when forwarded
    };

    explicit Impairment(const Params& params);

    // What becomes of a datagram of size bytes arriving at nowUs. With
    // lossApplies false (a link not yet ready to be lost on) the loss model is
    // not consulted, so its draws start with the first datagram it may lose.
    Verdict judge(std::int64_t nowUs, std::size_t size, bool lossApplies = true);
    Counts counts() const;

private:
    LossModel m_loss;
    DelayModel m_delay;
    RateCap m_rate;
    Outage::Params m_outageParams;
    std::optional<Outage> m_outage; // placed at the first datagram
    std::uint64_t m_seen = 0;
};

} // namespace zephyrscope::tools::impair

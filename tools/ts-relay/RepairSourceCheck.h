#pragma once

// Which retransmissions a RIST receiver's RTP session passes on to its jitter
// buffer. ristsrc's rtpbin takes the retransmissions (the SSRC with its lowest
// bit set) for an RTP source of their own, without probation, and checks
// their sequence numbers as any source's (rtpsource.c update_receiver_stats):
// one at least max_dropout ahead of the next it expects, or more than
// max_misorder behind it, is held back, and dropped unless the next to come
// is the one right after it. The limits are 60 s and 2 s of packets (at
// least 30 and 10; 3000 and 100 before a rate is known) at the source's
// packet rate (rtpstats.c), which it estimates from the retransmissions' own
// sequence numbers and RTP timestamps: sparse repairs far apart in the stream
// read as a slow source, and the second repair of a run of losses a few
// hundred packets after the first is refused.
// Pure: it is given the retransmissions in the order they reach the receiver.

#include <cstdint>
#include <optional>
#include <vector>

namespace zephyrscope::tools {

class RepairSourceCheck {
public:
    explicit RepairSourceCheck(std::uint32_t clockRate = 90000) : m_clockRate(clockRate) {}

    // A retransmission reached the receiver: the sequence numbers the session
    // passes on now, in order (one held back before it first); none: held back.
    std::vector<std::uint16_t> arrived(std::uint16_t sequence, std::uint32_t rtpTime);
    // Retransmissions held back and then dropped, or still held.
    std::uint64_t refused() const { return m_refused + (m_held ? 1 : 0); }

private:
    static constexpr std::uint32_t kUnknownRate = 0xffffffff;
    // The source's packet rate, as rtpstats.c estimates it; kUnknownRate: not yet.
    std::uint32_t updateRate(std::uint16_t sequence, std::uint32_t rtpTime);

    std::uint32_t m_clockRate;
    bool m_started = false;
    std::uint16_t m_maxSequence = 0;
    std::uint32_t m_badSequence = 0x10001; // none: no 16-bit sequence number equals it
    std::optional<std::uint16_t> m_held;
    std::uint64_t m_refused = 0;
    // The rate estimate's state.
    bool m_probed = false;
    std::uint32_t m_rate = kUnknownRate;
    std::uint16_t m_rateSequence = 0;
    std::uint64_t m_rateTime = ~std::uint64_t {0}; // extended RTP time; all ones: none
};

} // namespace zephyrscope::tools

#pragma once

// The PCR jitter of a stream as a relay sent it, from its own send times: the
// truth a receiver's PCR jitter is checked against. The receiver's definition,
// on the sender's side: how much later than its PCR says a datagram left,
// against the earliest over the last second; the largest over the last 10 s,
// leaving out the first 2 s, which a receiver leaves out while it settles.
//
// Times are microseconds; PCRs in microseconds of the 27-MHz clock. Thread: one caller.

#include <cstdint>
#include <deque>
#include <optional>

namespace zephyrscope::tools {

class SentPcrJitter {
public:
    void sent(std::int64_t sentUs, std::int64_t pcrUs);
    // None before the first PCR after the first 2 s.
    std::optional<std::int64_t> peakUs() const;

private:
    struct Sent {
        std::int64_t atUs = 0, transitUs = 0;
    };
    std::optional<std::int64_t> m_firstUs;
    std::deque<Sent> m_sent; // the last 10 s and the second before them
};

} // namespace zephyrscope::tools

#pragma once

// A link's bit rate: a token bucket that fills at the rate up to a depth (the
// burst it lets through at once), with a bounded queue in front. A datagram
// that finds too few tokens waits in the queue (held) until enough have come;
// one that would overfill the queue, or wait in it longer than its time
// bound, is dropped (capped), as a router's drop-tail queue does. Times are
// microseconds on any monotonic clock the caller chooses.
// Thread: one caller.

#include <cstdint>
#include <deque>
#include <optional>
#include <utility>

namespace zephyrscope::tools::impair {

class RateCap {
public:
    struct Params {
        std::int64_t bitsPerSecond = 0; // 0: no cap
        std::int64_t bucketBytes = 1500;
        std::int64_t queueBytes = 64 * 1024;
        // The longest a datagram may wait in the queue; 0: bounded by queueBytes alone.
        std::int64_t queueUs = 0;
    };

    struct Counts {
        std::uint64_t seen = 0, held = 0, capped = 0;
        std::uint64_t passedBytes = 0, cappedBytes = 0;
        std::int64_t longestWaitUs = 0; // the longest a datagram was held
    };

    explicit RateCap(const Params& params);

    bool active() const { return m_params.bitsPerSecond > 0; }
    // When a datagram of size bytes arriving at nowUs leaves, or nothing when
    // the queue has no room for it; counted. Calls come in time order.
    std::optional<std::int64_t> departureUs(std::int64_t nowUs, std::size_t size);
    // Bytes waiting at nowUs (those given a departure after it).
    std::int64_t queuedBytes(std::int64_t nowUs);
    const Counts& counts() const { return m_counts; }

private:
    Params m_params;
    double m_bytesPerUs = 0.0;
    double m_tokens = 0.0;
    double m_tokensAtUs = 0.0;  // when m_tokens was true
    double m_linkFreeUs = 0.0;  // when the last datagram accepted leaves
    std::deque<std::pair<std::int64_t, std::int64_t>> m_waiting; // departure, bytes
    std::int64_t m_waitingBytes = 0;
    Counts m_counts;
};

} // namespace zephyrscope::tools::impair

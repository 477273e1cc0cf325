#pragma once

// What a lossy, slow or broken path does to one direction of a TCP byte
// stream, as the application at the far end sees it. TCP loses nothing and
// never reorders what it delivers, so every impairment becomes a hold:
//   - the rate cap (a token bucket): a chunk waits for its tokens; TCP's sender
//     waits rather than drop, so the cap's queue is unbounded;
//   - loss: a lost segment is delivered a retransmission timeout later
//     (retransmitUs, 200 ms: Linux's minimum RTO, which a loopback-short path
//     always gets); a burst of losses holds each of its chunks so;
//   - delay with jitter: each chunk's own draw;
//   - an outage: nothing leaves in [start, start + duration); what would
//     have left then leaves at its end;
//   - order: a chunk never leaves before the one read before it on the same
//     connection (head-of-line blocking behind a retransmission, a longer draw
//     or the outage's backlog).
// The path is one link: the rate cap, the loss draws and the outage are shared
// by every connection through it; order is kept per connection.
// A chunk is at most one segment's payload (kSegmentBytes). Every hold is
// counted by its cause, with its time, so a test knows exactly which bytes the
// far end got late, and by how much.
// Times are microseconds on the caller's monotonic clock. Thread: one caller.

#include "DelayModel.h"
#include "LossModel.h"
#include "Outage.h"
#include "RateCap.h"

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <utility>

namespace zephyrscope::tools {

class ChunkImpairment {
public:
    static constexpr std::size_t kSegmentBytes = 1448; // a 1500-byte MTU's TCP payload with timestamps

    struct Params {
        impair::LossModel::Params loss;
        std::int64_t retransmitUs = 200000;
        impair::DelayModel::Params delay;  // its order is kept per connection here
        std::int64_t rateBitsPerSecond = 0; // 0: no cap
        std::int64_t rateBucketBytes = 16 * 1024;
        impair::Outage::Params outage; // its start is measured from the first chunk
    };

    struct Counts {
        std::uint64_t chunks = 0;
        std::uint64_t bytes = 0;
        std::uint64_t retransmitted = 0; // lost, and delivered retransmitUs later
        std::uint64_t bursts = 0;        // runs of consecutive losses
        std::uint64_t capped = 0;        // held by the rate cap
        std::int64_t cappedUs = 0;
        std::uint64_t delayed = 0; // held by the delay's draw
        std::int64_t delayedUs = 0;
        std::uint64_t heldForOrder = 0; // held behind the chunk before
        std::int64_t heldForOrderUs = 0;
        std::uint64_t heldByOutage = 0;
        std::int64_t heldByOutageUs = 0;
        std::uint64_t held = 0; // left later than read, for any reason
        std::int64_t heldUs = 0; // the sum of every chunk's hold
        std::int64_t longestHoldUs = 0;
    };

    explicit ChunkImpairment(const Params& params);

    // When a chunk of size bytes (at most kSegmentBytes) read at nowUs on
    // connection `connection` leaves; counted. Calls come in time order.
    std::int64_t departureUs(std::int64_t nowUs, std::size_t size, int connection);
    // The connection is gone: its order no longer holds anything.
    void forget(int connection) { m_lastDepartureUs.erase(connection); }
    // The outage's window, once the first chunk has placed it; none without one.
    std::optional<std::pair<std::int64_t, std::int64_t>> outageWindow() const;
    const Counts& counts() const { return m_counts; }

private:
    Params m_params;
    impair::LossModel m_loss;
    impair::RateCap m_rate;
    impair::DelayModel m_delay;
    std::optional<std::int64_t> m_outageStartUs;
    std::map<int, std::int64_t> m_lastDepartureUs;
    bool m_lastLost = false;
    Counts m_counts;
};

} // namespace zephyrscope::tools

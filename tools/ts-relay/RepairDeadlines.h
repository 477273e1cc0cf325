#pragma once

// Which repairs came in time for a receiver that waits a fixed buffer for each
// packet, from what a relay passed on and dropped (RTP sequence numbers
// extended past 16 bits, times on the relay's own clock). A repair is in time
// within the buffer of when its original left, or, dropped, would have left.
// A receiver learns of a run of drops only when the next original comes (the
// gap's end), and asks then for what it still waits for: where the sender
// repaired, after the run's end, a packet of it older than the buffer then, the
// receiver had not given that run up, and its deadline runs from the gap's end.
// Pure: it is given every event with its time; the caller serialises.

#include <cstdint>
#include <map>
#include <set>
#include <vector>

namespace zephyrscope::tools {

class RepairDeadlines {
public:
    struct Verdict {
        std::uint64_t repaired = 0, late = 0;
        // Runs of drops the receiver waited for whole, past the buffer: a repair of
        // one older than the buffer when the run ended left after that.
        std::uint64_t gapsWaitedFor = 0;
        // Repairs that left before the run of drops ended, so before the receiver
        // could know of the loss: asked for as the next packet due, which it may
        // take or not.
        std::uint64_t beforeGapEnded = 0;
        // The nearest repairs either side of their deadline: how long after it
        // began (-1: none).
        std::int64_t latestInTimeUs = -1, earliestLateUs = -1;
    };

    // An original left the relay.
    void originalForwarded(std::int64_t sequence, std::int64_t atUs);
    // An original was dropped: it would have left now.
    void originalDropped(std::int64_t sequence, std::int64_t atUs);
    // The first copy of a sequence number to leave was a repair.
    void repairForwarded(std::int64_t sequence, std::int64_t atUs);

    Verdict judge(std::int64_t bufferUs) const;

    // When the receiver had each packet between the first and the last it
    // knows of, or gave it up: the first copy to leave, original or repair in
    // time; a packet never come (or repaired late) is given up at its deadline
    // (its original's time, or its run's end where the receiver waited for the
    // run whole, and the buffer), not before its run ended, when the receiver
    // learnt of it. In order of sequence number; times moved by shiftUs (onto another clock).
    struct Delivery {
        std::int64_t sequence = 0, atUs = 0;
        bool arrived = false;
    };
    std::vector<Delivery> deliveries(std::int64_t bufferUs, std::int64_t shiftUs = 0) const;

private:
    // The runs (by their end) the receiver still asked for past the buffer.
    std::set<std::int64_t> runsWaitedFor(std::int64_t bufferUs) const;

    struct Original {
        std::int64_t atUs = 0;
        std::int64_t gapEndUs = -1; // dropped: when the next original left; -1 while none has
        bool dropped = false;
    };
    std::map<std::int64_t, Original> m_originals;
    std::map<std::int64_t, std::int64_t> m_repairs;
    std::vector<std::int64_t> m_unended; // dropped since the last original left
};

} // namespace zephyrscope::tools

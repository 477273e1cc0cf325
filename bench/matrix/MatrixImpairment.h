#pragma once

// The rows of the matrix: what the relay or server does to a stream. Each is
// one seeded impairment (tools/impair), so a run loses the same packets as the
// run before; a cell's relay applies it to the sender's first transmissions.

#include "Impairment.h"

#include <string>
#include <vector>

namespace zephyrscope::bench {

struct MatrixImpairment {
    std::string id;    // "loss-2", for --impairment and the JSON file
    std::string label; // "random loss 2 %", for the table and the chart
    tools::impair::Impairment::Params params;
    // Every copy of every repairEveryNth packet is dropped, its retransmissions
    // too: loss no repair can mend. Only for protocols that repair.
    int lostWithRepairsEvery = 0;
    // How long the outage lasts, from outageStartMs after the first datagram; 0: none.
    std::int64_t outageMs = 0;

    // A test server's options for the drops it makes itself as it sends (random
    // or burst loss, an outage): --loss, --loss-rate, --burst-mean, --seed,
    // --outage-at, --outage-for.
    void appendDropArguments(std::vector<std::string>& arguments) const;
};

class MatrixImpairments {
public:
    // The stream every cell plays lasts this long; the outage falls in its middle.
    static constexpr double kStreamSeconds = 9.0;
    static constexpr std::int64_t kOutageStartMs = 4000;
    // Below the test senders' ~1 Mbit/s.
    static constexpr std::int64_t kCapBitsPerSecond = 700000;
    // The cap's drop-tail queue holds a datagram at most this long, as a
    // router's buffer does; what would wait longer is dropped. Half SRT's 400 ms
    // latency, so a repair still comes in time; with 100 ms the raw UDP stream
    // lost so much of every key frame that its first picture came after the
    // player stopped waiting in four runs of ten, and with 200 ms after 3 to 9 s.
    static constexpr std::int64_t kCapQueueMs = 200;

    // Every impairment, in the table's order; the loss of repairs last.
    static const std::vector<MatrixImpairment>& all();
    // Those a protocol is measured under: the loss of repairs only where it repairs.
    static std::vector<MatrixImpairment> forProtocol(bool repairs);
    // By id; nullptr when there is none.
    static const MatrixImpairment* find(const std::string& id);
};

} // namespace zephyrscope::bench

#pragma once

// The transport stream analysis of one entry: the bytes entering its MPEG-TS
// demuxer, whatever carried them, go through a TransportStreamAnalyser.
// Thread: fed on the demuxer's streaming thread, read on the main loop; a lock
// keeps the two apart. Owned by the entry's StreamCounters.
//
// Where its protocol says each buffer is one datagram as it arrived (raw UDP),
// the analyser and a DatagramGapEstimator also hear when each came: the PCR
// jitter, the gaps in the data and the loss they hide from the continuity counters.

#include "DatagramGapEstimator.h"
#include "TransportStreamAnalyser.h"

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>

typedef struct _GstElement GstElement;

namespace zephyrscope {

class StreamCounters;

class TransportStreamWatch {
public:
    struct Snapshot {
        bool seen = false;          // a transport stream went through a demuxer
        std::uint64_t packets = 0;  // TS packets taken in
        std::uint64_t missing = 0;  // payload packets the continuity counters show missing
        TsErrorCounts errors;
        // Raw UDP only: the gaps in the datagrams' arrival and the loss estimated from them.
        std::optional<DatagramGapEstimator::Figures> gaps;
        std::optional<double> pcrJitterMs; // raw UDP, once the PCRs' arrivals settled
    };

    // Source set-up, before data flows: each buffer is a datagram, stamped with
    // the running time the kernel received it at.
    void timeDatagrams();

    // Streaming threads. Pushed bytes with when they arrived (microseconds of
    // the pipeline's monotonic clock): the PCR jitter, and for datagrams the gaps.
    // judgeGaps: the entry plays steadily, so a gap in arrival is the stream's,
    // not the receiver's own hold while it sets up.
    void feed(const std::uint8_t* data, std::size_t size, std::int64_t arrivalUs, bool judgeGaps = true);
    // Bytes a demuxer pulled from offset: only what continues the stream is fed.
    // A demuxer that pulls scans the file's start and end for its duration before
    // it reads it through; those reads are not the stream in order.
    void feedPulled(std::uint64_t offset, const std::uint8_t* data, std::size_t size);

    // Main loop.
    Snapshot snapshot() const;

    // Probes the input of an MPEG-TS demuxer (tsdemux) so that what enters it
    // feeds the watch of counters.
    static void watchDemuxer(GstElement* demuxer, const std::shared_ptr<StreamCounters>& counters);

private:
    mutable std::mutex m_mutex;
    TransportStreamAnalyser m_analyser;
    bool m_seen = false;
    std::optional<DatagramGapEstimator> m_gaps; // while timing datagrams
    std::uint64_t m_pulledUpTo = 0; // the offset the next pulled bytes continue from
};

} // namespace zephyrscope

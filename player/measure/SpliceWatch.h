#pragma once

// The splice commands (SCTE-35) of one entry: tsdemux is asked to forward its
// splice_info_sections as events down its pads, where a probe reads them with
// SpliceSectionReader and dates each splice point on the wall clock.
// Thread: fed on the demuxer's streaming threads, read on the main loop; a lock
// keeps the two apart. Owned by the entry's StreamCounters.

#include "AdBreakTracker.h"
#include "SpliceFigures.h"

#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <tuple>
#include <vector>

typedef struct _GstElement GstElement;

namespace zephyrscope {

class StreamCounters;

class SpliceWatch {
public:
    // Streaming threads. Commands read from one section heard at nowMs (ms
    // since 1970 UTC), their splice points already dated; none: a section
    // that could not be read, counted. A command sent again (a splice_insert
    // is repeated until its splice point) is kept once.
    void heard(const std::optional<std::vector<SpliceCommand>>& commands, std::int64_t nowMs);
    // A transport stream goes through a demuxer: splices are looked for.
    void watched();
    // A demuxer event already heard on another of its pads (each carries it).
    bool alreadyHeard(std::uint32_t eventSeqnum);

    // Main loop: the figures so far, into out (its buffer reused), the break's state at nowMs.
    void fill(SpliceFigures& out, std::int64_t nowMs) const;

    // Sets tsdemux to forward its SCTE-35 sections and probes its pads for them.
    static void watchDemuxer(GstElement* demuxer, const std::shared_ptr<StreamCounters>& counters);

private:
    using Key = std::tuple<int, std::uint32_t, int, std::uint64_t>;
    static constexpr std::size_t kRecentKeys = 64;

    mutable std::mutex m_mutex;
    SpliceFigures m_figures;
    AdBreakTracker m_tracker;
    std::deque<Key> m_recent; // the last commands kept, to know one sent again
    std::optional<std::uint32_t> m_lastSeqnum;
};

} // namespace zephyrscope

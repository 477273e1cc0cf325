#pragma once

// The splice commands (SCTE-35) of one entry: tsdemux is asked to forward its
// splice_info_sections as events down its pads, where a probe reads them with
// SpliceSectionReader and dates each splice point on the wall clock.
// Thread: fed on the demuxer's streaming threads, read on the main loop; a lock
// keeps the two apart. Owned by the entry's StreamCounters.

#include "AdBreakTracker.h"
#include "ManifestSplice.h"
#include "SpliceFigures.h"

#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
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
    // Main loop. What one fetch of a manifest says of splices, at nowMs: each
    // splice kept once by its id however often a live manifest comes again,
    // its section (if any) read by SpliceSectionReader, the manifest's time
    // and, where the section has none, its duration taken. A malformed tag or
    // element, or a section that cannot be read, counts as an error once. A
    // manifest that signals nothing of splices changes nothing.
    void heardInManifest(const ManifestSplices& splices, std::int64_t nowMs);
    // A transport stream goes through a demuxer: splices are looked for.
    void watched();
    // A demuxer event already heard on another of its pads (each carries it).
    bool alreadyHeard(std::uint32_t eventSeqnum);

    // Main loop: the figures so far, into out (its buffer reused), the break's state at nowMs.
    void fill(SpliceFigures& out, std::int64_t nowMs) const;

    // Sets tsdemux to forward its SCTE-35 sections and probes its pads for them.
    static void watchDemuxer(GstElement* demuxer, const std::shared_ptr<StreamCounters>& counters);

private:
    // With the lock held: a command kept, counted and tracked.
    void keep(const SpliceCommand& command, std::int64_t nowMs);
    // With the lock held: whether a manifest's id is new (then remembered).
    bool firstSight(const std::string& id);

    using Key = std::tuple<int, std::uint32_t, int, std::uint64_t>;
    static constexpr std::size_t kRecentKeys = 64;
    // Ids of manifest splices (and malformed tags) seen: a live window's worth
    // and far more; the oldest are forgotten beyond it.
    static constexpr std::size_t kManifestIds = 4096;

    mutable std::mutex m_mutex;
    SpliceFigures m_figures;
    AdBreakTracker m_tracker;
    std::deque<Key> m_recent; // the last commands kept, to know one sent again
    std::optional<std::uint32_t> m_lastSeqnum;
    std::set<std::string> m_manifestIds;
    std::deque<std::string> m_manifestIdOrder; // oldest first
};

} // namespace zephyrscope

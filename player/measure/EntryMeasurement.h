#pragma once

// What one entry measures, and the figures worked out from it: the stream
// counters the probes feed, the statistics gathered on the main loop, and the
// snapshot of the figures. Owned by the entry's playback. Private to player/.
// Thread: the default GMainContext's; only the counters are fed from streaming threads.

#include "AdaptiveManifest.h"
#include "EntryStatistics.h"
#include "ManifestSpliceReader.h"
#include "NetworkFigures.h"
#include "PlayerProtocol.h"
#include "StallTiming.h"
#include "StreamCounters.h"
#include "UtcTimingFetch.h"

#include <cstdint>
#include <memory>
#include <span>
#include <string>

typedef struct _GstElement GstElement;
typedef struct _GstMessage GstMessage;

namespace zephyrscope {

class EntryMeasurement {
public:
    // scheme: the entry URI's, in lower case. maxBandwidth and bufferingTimeMs:
    // what the entry's pipeline was given, reported as they are. protocols: the
    // descriptors the source's measurements come from, kept for ever.
    EntryMeasurement(std::string scheme, std::int32_t maxBandwidth, std::int32_t bufferingTimeMs,
                     std::span<const PlayerProtocol* const> protocols);

    const std::shared_ptr<StreamCounters>& counters() const { return m_counters; }
    EntryStatistics& statistics() { return m_statistics; }

    // A new generation: what the figures are worked out from may have changed.
    // Every bus message and timer of the entry starts one.
    void changed() { ++m_generation; }
    // One sample for the rates and the packet counts.
    void poll(bool playing);
    // The play state went from Playing to Buffering (paused: the pipeline was
    // paused for its buffer to fill), and back to Playing: see StallTiming.
    void stallBegan(bool paused);
    void stallOver();
    // The bus messages that only feed the figures (QoS, an adaptive demuxer's
    // statistics); false for any other, which the playback handles.
    bool take(GstMessage* message);

    // The figures, worked out once per generation: the reads of one tick, with
    // no event between them, share one snapshot. flowing: the pipeline runs, so
    // the rates are current; durationS: the clip's length.
    const NetworkFigures& figures(bool flowing, double durationS) const;

private:
    // Gives the frames shown since the last look to the stall timing.
    void readFrames() const;
    void serverClock(const DashLiveClock& clock);

    const std::string m_scheme;
    const std::int32_t m_maxBandwidth;
    const std::int32_t m_bufferingTimeMs;
    std::shared_ptr<StreamCounters> m_counters;
    EntryStatistics m_statistics;
    ManifestSpliceReader m_manifestSplices;
    bool m_manifestSplicesRead = false;
    std::uint64_t m_generation = 1;
    mutable std::uint64_t m_figuresGeneration = 0;
    mutable NetworkFigures m_figures;
    mutable StallTiming m_stallTiming;
    mutable std::uint64_t m_framesRead = 0;
    bool m_timeAsked = false;
    std::unique_ptr<HttpFetch> m_timeFetch; // last: cancelled before the rest goes
};

} // namespace zephyrscope

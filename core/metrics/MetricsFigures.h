#pragma once

#include "EntryOutcomes.h"
#include "NetworkFigures.h"
#include "SampleLine.h"
#include "SessionTally.h"
#include "TsErrorCounts.h"

#include <cstdint>
#include <optional>
#include <string>

namespace zephyrscope {

class OutageTracker;
class Player;

// What the metrics endpoint serves: the values of the last sample tick and the
// run's own counters. Updated per tick by recordSample() and per event by the
// run (MeasurementRun); the endpoint formats it only when it is asked, so a
// tick does no formatting for it. Owned by whoever runs the endpoint; read and
// written on the UI thread only.
struct MetricsFigures {
    // After a tick has written its line: a copy of its sample, the player's
    // snapshot with it.
    void recordSample(const SampleLine& line);
    // Whether the channel is up, and its outages so far (reads the tracker's clock).
    void recordOutages(OutageTracker& tracker);
    // An entry was opened: counts it, then reads its URL from the player, which
    // may throw PlayerError (the entry stays counted).
    void entryOpened(Player& player);
    // An entry failed; firstFrameWallMs is the player's first frame time, 0 when
    // it cannot say.
    void entryFailed(std::int64_t firstFrameWallMs);

    // False until the first tick has written its line; until then only the
    // run-level series are served.
    bool hasSample = false;
    SampleLine sample;
    // The current entry's URL as the player reports it, user and password still in it.
    std::string entryUrl;
    // The current entry's session in standard terms and its score (docs/QOE.md),
    // from its ticks so far; started again when the next entry opens.
    SessionTally session;
    std::uint64_t sessionEntry = 0; // entriesOpened when the session began

    // --name: the channel label every series carries; empty for none.
    std::string channel;
    // Whether the channel plays now (an entry has played and has not ended or
    // failed since), and, under --monitor, its outages: served only then.
    bool up = false;
    bool monitor = false;
    std::uint64_t outages = 0;
    double outageSeconds = 0.0;

    std::uint64_t samplesWritten = 0;
    std::uint64_t entriesOpened = 0;
    std::uint64_t entriesFailed = 0;
    // The entries' ends in CTA-2066's terms: the failures split by whether the
    // picture had come, and the entries stopped before it.
    EntryOutcomes outcomes;
    std::uint64_t logWriteFailures = 0;
};

} // namespace zephyrscope

#include "MetricsFigures.h"

#include "OutageTracker.h"
#include "Player.h"

namespace zephyrscope {

void MetricsFigures::recordSample(const SampleLine& line)
{
    // A copy, no formatting: the endpoint formats it only when it is scraped.
    // Copied into the last tick's sample, it reuses that one's buffers.
    sample = line;
    hasSample = true;
    ++samplesWritten;
    if (sessionEntry != entriesOpened) {
        session.reset();
        sessionEntry = entriesOpened;
    }
    session.tick(sample, sample.network);
    outcomes.ticked(sample.network.playState, sample.network.firstFrameWallMs);
}

void MetricsFigures::recordOutages(OutageTracker& tracker)
{
    up = tracker.up();
    outages = tracker.outages();
    outageSeconds = static_cast<double>(tracker.outageMs()) / 1000.0;
}

void MetricsFigures::entryOpened(Player& player)
{
    ++entriesOpened;
    // The URL labels the entry's series; one read per entry, not per tick.
    entryUrl = player.currentMedia()->sourceURL();
}

void MetricsFigures::entryFailed(std::int64_t firstFrameWallMs)
{
    ++entriesFailed;
    outcomes.failed(firstFrameWallMs);
}

} // namespace zephyrscope

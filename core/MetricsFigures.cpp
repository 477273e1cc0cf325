#include "MetricsFigures.h"

#include "OutageTracker.h"
#include "Player.h"

namespace zephyrscope {

void MetricsFigures::recordSample(const SampleLine& line, Player& player)
{
    // Copies, no formatting: the endpoint formats them only when it is scraped.
    sample = line;
    hasSample = true;
    ++samplesWritten;
    // The figures come whole, from one more network object after the line.
    network = player.network()->figures();
    if (sessionEntry != entriesOpened) {
        session.reset();
        sessionEntry = entriesOpened;
    }
    session.tick(sample, network);
    outcomes.ticked(sample.playState, network.firstFrameWallMs);
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

#include "MetricsFigures.h"


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

} // namespace zephyrscope

#include "MetricsFigures.h"

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

} // namespace zephyrscope

#pragma once

#include "Player.h"

namespace zephyrscope::testing {

// A test's look at the player's figures now, the way a tick takes them.
inline NetworkFigures SnapshotOf(Player& player)
{
    NetworkFigures figures;
    player.snapshot(figures);
    return figures;
}

} // namespace zephyrscope::testing

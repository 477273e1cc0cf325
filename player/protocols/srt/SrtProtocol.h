#pragma once

// SRT: srtsrc, its packets as SRT counts them (SrtStatistics, SrtDeliveryGaps).
// Private to player/.

#include "PlayerProtocol.h"

namespace zephyrscope {

const PlayerProtocol& srtProtocol();

} // namespace zephyrscope

#pragma once

// WebRTC from a WHEP endpoint: our own source element (WhepSource), its
// packets counted on its webrtcbin (WebRtcStatistics). Private to player/.

#include "PlayerProtocol.h"

namespace zephyrscope {

const PlayerProtocol& whepProtocol();

} // namespace zephyrscope

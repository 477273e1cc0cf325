#pragma once

// RTSP (RTSPU, RTSPT): rtspsrc, its RTP counted on its jitter buffers.
// Private to player/.

#include "PlayerProtocol.h"

namespace zephyrscope {

const PlayerProtocol& rtspProtocol();

} // namespace zephyrscope

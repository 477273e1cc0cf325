#pragma once

// HTTP and HTTPS progressive downloads: souphttpsrc, its buffers counted as
// packets. (An HLS, DASH or MSS stream starts here too; the adaptive room
// takes over at its demuxer.) Private to player/.

#include "PlayerProtocol.h"

namespace zephyrscope {

const PlayerProtocol& httpProtocol();

} // namespace zephyrscope

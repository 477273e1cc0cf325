#pragma once

// HLS, DASH and MSS: found at their demuxer (hlsdemux2, dashdemux2,
// mssdemux2), which fetches its playlists and segments itself. Each stream's
// segment bodies enter a parsebin inside the demuxer, whose input is counted
// as bytes off the network; the demuxer's own requests are watched for
// segment counts and failures (AdaptiveRequests); its input, the manifest, is
// kept for its variants and bounded in size. Private to player/.

#include "PlayerProtocol.h"

namespace zephyrscope {

const PlayerProtocol& adaptiveProtocol();

} // namespace zephyrscope

#pragma once

// The broadcast transports, MPEG-TS pushed at us unicast or multicast: UDP
// (UdpBatchSource), RTP (rtpsrc, counted on its jitter buffers) and RIST (ristsrc).
// Set up by BroadcastSource; an entry that times out having received nothing
// says where it listened. Private to player/.

#include "PlayerProtocol.h"

namespace zephyrscope {

const PlayerProtocol& udpProtocol();
const PlayerProtocol& rtpProtocol();
const PlayerProtocol& ristProtocol();

} // namespace zephyrscope

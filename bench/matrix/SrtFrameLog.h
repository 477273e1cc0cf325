#pragma once

// The video frames of an MPEG-TS stream over SRT as a relay between the
// sender and the player saw its data packets, originals and retransmissions:
// a frame is hit where no copy of a packet of it left toward the player within
// lateUs of its original (the receiver's latency: later, it comes after its
// time to play). Each frame is timed by its original's arrival.

#include "FrameDamageBound.h"
#include "UdpRelay.h"

#include <cstdint>
#include <vector>

namespace zephyrscope::bench {

class SrtFrameLog {
public:
    static std::vector<tools::impair::FrameDamageBound::Frame>
    frames(const std::vector<testing::UdpRelay::DataPacket>& packets, std::int64_t lateUs);
};

} // namespace zephyrscope::bench

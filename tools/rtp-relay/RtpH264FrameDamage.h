#pragma once

// The frames of an H.264 RTP stream as a sender or relay sends them on or
// drops them, and the most of them a receiver can show damaged: a frame that
// lost a packet, and every frame after it up to the next key frame that came
// whole (which refers to nothing before it); spans of several losses merged.
// A frame is the packets of one RTP timestamp; a key frame one with an IDR
// slice or a sequence parameter set (NAL type 5 or 7: alone, in a STAP-A, or
// the start of an FU-A). Pure: it is given
// the RTP packets in sending order; the caller serialises.

#include "FrameDamageBound.h"

#include <cstddef>
#include <cstdint>

namespace zephyrscope::tools {

class RtpH264FrameDamage {
public:
    // One RTP packet, header and all, come at us (the caller's clock); dropped: not passed on.
    void packet(const unsigned char* rtp, std::size_t size, bool dropped, std::int64_t us = 0);

    std::uint64_t frames() const { return m_bound.frames(); }
    std::uint64_t keyFrames() const { return m_bound.endedKeyFrames() + (m_bound.openKey() ? 1 : 0); }
    // The frames from each loss to the next whole key frame, the frames hit
    // included; and of them those that lost nothing themselves.
    std::uint64_t damageBound() const { return m_bound.damageBound(); }
    std::uint64_t damagedWhole() const { return m_bound.damagedWhole(); }
    // The frames, each with when its first packet came; and that time of the
    // first key frame that came whole from us on (0: none).
    std::vector<impair::FrameDamageBound::Frame> frameLog() const { return m_bound.frameLog(); }
    std::int64_t firstWholeKeyFrameFrom(std::int64_t us) const { return m_bound.firstWholeKeyFrameFrom(us); }

private:
    // Whether an H.264 RTP payload begins a key frame's NAL unit (IDR slice or SPS).
    static bool carriesKey(const unsigned char* payload, std::size_t size);

    impair::FrameDamageBound m_bound;
    std::uint32_t m_timestamp = 0;
};

} // namespace zephyrscope::tools

#pragma once

// The frames of an H.264 RTP stream as a sender or relay sends them on or
// drops them, and the most of them a receiver can show damaged: a frame that
// lost a packet, and every frame after it up to the next key frame that came
// whole (which refers to nothing before it); spans of several losses merged.
// A frame is the packets of one RTP timestamp; a key frame one with an IDR
// slice (NAL type 5: alone, in a STAP-A, or an FU-A of it). Pure: it is given
// the RTP packets in sending order; the caller serialises.

#include <cstddef>
#include <cstdint>

namespace zephyrscope::tools {

class RtpH264FrameDamage {
public:
    // One RTP packet, header and all; dropped: not passed on.
    void packet(const unsigned char* rtp, std::size_t size, bool dropped);

    std::uint64_t frames() const { return m_frames + (m_inFrame ? 1 : 0); }
    std::uint64_t keyFrames() const { return m_keyFrames + (m_inFrame && m_key ? 1 : 0); }
    // The frames from each loss to the next whole key frame, the frames hit
    // included; and of them those that lost nothing themselves.
    std::uint64_t damageBound() const { return m_bound + (m_inFrame && openDamaging() ? 1 : 0); }
    std::uint64_t damagedWhole() const { return m_whole + (m_inFrame && openDamaging() && !m_hit ? 1 : 0); }

private:
    void endFrame();
    bool openDamaging() const { return (m_damaging || m_hit) && !(m_key && !m_hit); }
    // Whether an H.264 RTP payload carries (part of) an IDR slice.
    static bool carriesIdr(const unsigned char* payload, std::size_t size);

    bool m_inFrame = false, m_hit = false, m_key = false;
    bool m_damaging = false;
    std::uint32_t m_timestamp = 0;
    std::uint64_t m_frames = 0, m_keyFrames = 0, m_bound = 0, m_whole = 0;
};

} // namespace zephyrscope::tools

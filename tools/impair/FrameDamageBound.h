#pragma once

// The frames of a video stream as a relay sends them on or drops them, and the
// most of them a receiver can show damaged: a frame that lost a packet, and
// every frame after it up to the next key frame that came whole (which refers
// to nothing before it); spans of several losses merged. The stream's reader
// (TS or RTP) says where each frame begins (and when its first packet came,
// on the relay's clock), whether it is a key frame and whether it lost a
// packet. Each frame is kept, so the key frames' arrivals can time what the
// picture waits for after a gap. Pure; the caller serialises.

#include <cstdint>
#include <vector>

namespace zephyrscope::tools::impair {

class FrameDamageBound {
public:
    struct Frame {
        std::int64_t firstPacketUs = 0; // when its first packet came, sent on or not
        bool key = false, hit = false;
        bool damaging = false; // it leaves the picture damaged (hit, or after a hit before a whole key frame)
        bool demuxed = false;  // a demuxer passed it on to the decoder (the reader says which)
        std::int64_t lastPacketUs = 0; // when its last packet passed on came (0: none did)
    };

    // A frame begins, its first packet at firstPacketUs; the one open before it ends.
    void begin(std::int64_t firstPacketUs = 0)
    {
        if (m_inFrame)
            end();
        m_inFrame = true;
        m_hit = m_key = m_demuxed = false;
        m_firstPacketUs = firstPacketUs;
        m_lastPacketUs = 0;
    }
    // A packet of the open frame was passed on at us.
    void passed(std::int64_t us) { m_lastPacketUs = us; }
    // The open frame lost a packet, or is a key frame.
    void hit() { m_hit = true; }
    void key() { m_key = true; }
    bool inFrame() const { return m_inFrame; }
    // The frame begun as the frames()-th (from 1), the open one or an earlier, reached the decoder.
    void demuxed(std::uint64_t frame)
    {
        if (frame >= 1 && frame <= m_log.size())
            m_log[frame - 1].demuxed = true;
        else if (m_inFrame && frame == m_log.size() + 1)
            m_demuxed = true;
    }
    bool openKey() const { return m_inFrame && m_key; }

    // Every frame begun, in order, the open one as it stands.
    std::vector<Frame> frameLog() const;
    // When the first packet came of the first key frame that came whole and
    // began at or after us; none: 0.
    std::int64_t firstWholeKeyFrameFrom(std::int64_t us) const;

    // The frames begun, and the key frames among those ended.
    std::uint64_t frames() const { return m_frames + (m_inFrame ? 1 : 0); }
    std::uint64_t endedKeyFrames() const { return m_keyFrames; }
    // The frames from each loss to the next whole key frame, the frames hit
    // included; and of them those that lost nothing themselves, which a
    // receiver shows damaged if it shows them at all.
    std::uint64_t damageBound() const { return m_bound + (m_inFrame && openDamaging() ? 1 : 0); }
    std::uint64_t damagedWhole() const { return m_whole + (m_inFrame && openDamaging() && !m_hit ? 1 : 0); }

private:
    void end();
    // Whether the frame now open leaves the picture damaged.
    bool openDamaging() const { return (m_damaging || m_hit) && !(m_key && !m_hit); }

    bool m_inFrame = false, m_hit = false, m_key = false, m_demuxed = false;
    bool m_damaging = false; // the picture is damaged after the last frame ended
    std::int64_t m_firstPacketUs = 0, m_lastPacketUs = 0;
    std::vector<Frame> m_log; // the frames ended
    std::uint64_t m_frames = 0, m_keyFrames = 0, m_bound = 0, m_whole = 0;
};

} // namespace zephyrscope::tools::impair

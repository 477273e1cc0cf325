#pragma once

// The video frames of an MPEG-TS stream as a relay sends them on or drops
// them, and the most of them a receiver can show damaged: a frame that lost a
// packet, and every frame after it up to the next key frame that came whole
// (which refers to nothing before it); spans of several losses merged. A key
// frame is a video PES whose first packet has the adaptation field's
// random_access_indicator, or whose payload holds an H.264 IDR slice or
// sequence parameter set (NAL type 5 or 7). The video stream is the first PES with a video stream_id (0xE0-0xEF).
// Each frame is marked demuxed where tsdemux passed it on (TsDemuxFollower).
// Pure: it is given the sender's TS packets in order; the caller serialises.

#include "FrameDamageBound.h"
#include "TsDemuxFollower.h"

#include <cstdint>

namespace zephyrscope::tools {

class TsFrameDamage {
public:
    // One 188-byte TS packet of the sender's, in order, come at us (the caller's
    // clock); dropped: not passed on.
    void packet(const unsigned char* packet, bool dropped, std::int64_t us = 0);
    // The receiver's input broke before the next packet passed on (TsDemuxFollower).
    void discontinuity();

    // The video frames begun, and the key frames among those ended.
    std::uint64_t frames() const { return m_bound.frames(); }
    std::uint64_t keyFrames() const { return m_bound.endedKeyFrames(); }
    // The frames from each loss to the next whole key frame, the frames hit
    // included; and of them those that lost nothing themselves, which a
    // receiver shows damaged if it shows them at all.
    std::uint64_t damageBound() const { return m_bound.damageBound(); }
    std::uint64_t damagedWhole() const { return m_bound.damagedWhole(); }
    // The video frames, each with when its first packet came; and that time of
    // the first key frame that came whole from us on (0: none).
    std::vector<impair::FrameDamageBound::Frame> frameLog() const { return m_bound.frameLog(); }
    std::int64_t firstWholeKeyFrameFrom(std::int64_t us) const { return m_bound.firstWholeKeyFrameFrom(us); }

private:
    void scan(const unsigned char* data, const unsigned char* end);
    void markDemuxed(); // the frames in m_demuxed

    int m_videoPid = -1;
    impair::FrameDamageBound m_bound;
    std::uint32_t m_recent = 0xFFFFFFFF; // the last bytes scanned, for a start code across packets
    TsDemuxFollower m_demux;
    std::vector<std::uint64_t> m_demuxed; // reused
};

} // namespace zephyrscope::tools

#include "FrameDamageBound.h"

namespace zephyrscope::tools::impair {

void FrameDamageBound::end()
{
    ++m_frames;
    if (m_key)
        ++m_keyFrames;
    m_damaging = openDamaging();
    if (m_damaging) {
        ++m_bound;
        if (!m_hit)
            ++m_whole;
    }
    m_log.push_back({m_firstPacketUs, m_key, m_hit, m_damaging, m_demuxed, m_lastPacketUs});
    m_inFrame = false;
}

std::vector<FrameDamageBound::Frame> FrameDamageBound::frameLog() const
{
    std::vector<Frame> log = m_log;
    if (m_inFrame)
        log.push_back({m_firstPacketUs, m_key, m_hit, openDamaging(), m_demuxed, m_lastPacketUs});
    return log;
}

std::int64_t FrameDamageBound::firstWholeKeyFrameFrom(std::int64_t us) const
{
    for (const Frame& frame : frameLog()) {
        if (frame.key && !frame.hit && frame.firstPacketUs >= us)
            return frame.firstPacketUs;
    }
    return 0;
}

} // namespace zephyrscope::tools::impair

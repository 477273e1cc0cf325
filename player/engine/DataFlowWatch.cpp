#include "DataFlowWatch.h"

namespace zephyrscope {

DataFlowWatch::DataFlowWatch(std::int32_t noDataTimeoutMs)
    : m_noDataTimeoutUs(static_cast<std::int64_t>(noDataTimeoutMs) * 1000)
{
}

DataFlowWatch::Verdict DataFlowWatch::look(const Sight& s)
{
    if (s.network && s.segmentFailingSinceUs > 0 && s.nowUs - s.segmentFailingSinceUs >= kSegmentGiveUpUs)
        return Verdict::SegmentGivenUp;
    if (s.phase == Phase::Other)
        return Verdict::None; // opening has its own timeout
    if (s.positionUs < 0 || s.durationUs <= 0 || s.live || s.positionUs < s.durationUs - kEndToleranceUs) {
        m_endPositionUs = -1;
    } else if (s.positionUs != m_endPositionUs) {
        m_endPositionUs = s.positionUs;
        m_endSinceUs = s.nowUs;
    } else if (s.nowUs - m_endSinceUs >= kEndedStillUs) {
        return Verdict::Ended;
    }

    if (s.network && (s.bytes != m_lastBytes || m_lastDataUs == 0)) {
        m_lastBytes = s.bytes;
        m_lastDataUs = s.nowUs;
        if (m_stall == Stall::Silence) {
            m_stall = Stall::None;
            m_resumedUs = s.nowUs;
            return Verdict::Resume;
        }
    }
    if (m_stall == Stall::FrozenPicture && s.lastFrameUs != m_stallFrameUs) {
        m_stall = Stall::None;
        m_resumedUs = s.nowUs;
        return Verdict::Resume;
    }

    const std::int64_t silentUs = s.nowUs - m_lastDataUs;
    const bool pictureStill = !s.videoKnown || s.nowUs - s.lastFrameUs >= kPictureStillUs;
    if (m_stall == Stall::None && s.phase == Phase::Playing) {
        if (s.network && s.live && silentUs >= kLiveStallUs && pictureStill) {
            m_stall = Stall::Silence;
            return Verdict::Stall;
        }
        // Not while a stall that ended as data came back waits for its first new
        // picture: the frame the sink holds is that stall's end, not a new one.
        const bool heldBackASecond = s.heldFrameDueUs > 0 && s.lastFrameUs > m_resumedUs
            && s.heldFrameDueUs - (s.lastFrameUs + s.frameIntervalUs) >= kLiveStallUs;
        if ((s.videoKnown && s.lastFrameUs > 0 && s.nowUs - s.lastFrameUs >= kFrozenPictureUs)
            || (s.network && s.live && s.videoKnown && pictureStill && heldBackASecond)) {
            m_stall = Stall::FrozenPicture;
            m_stallFrameUs = s.lastFrameUs;
            return Verdict::Stall;
        }
    }
    if (s.phase != Phase::Buffering)
        return Verdict::None;
    const char* missing = nullptr;
    if (s.network && silentUs >= m_noDataTimeoutUs)
        missing = "data";
    else if (m_stall == Stall::FrozenPicture && s.nowUs - s.lastFrameUs >= m_noDataTimeoutUs)
        missing = "picture";
    if (!missing)
        return Verdict::None;
    m_reason = std::string("no ") + missing + " for " + std::to_string(m_noDataTimeoutUs / 1000000) + " s";
    return Verdict::NoData;
}

bool DataFlowWatch::wantsPosition(const Sight& s)
{
    if (s.live || s.durationUs <= 0 || s.phase == Phase::Other)
        return false;
    // While pictures come the clip is still playing; audio alone gives no such sign.
    return !s.videoKnown || s.nowUs - s.lastFrameUs >= kPictureStillUs;
}

} // namespace zephyrscope

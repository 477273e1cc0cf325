#include "TsFrameDamage.h"

#include <algorithm>

namespace zephyrscope::tools {

namespace {

constexpr std::size_t kTsPacket = 188;
constexpr int kIdrSlice = 5, kSequenceParameterSet = 7;

} // namespace

void TsFrameDamage::packet(const unsigned char* p, bool dropped, std::int64_t us)
{
    if (p[0] != 0x47)
        return;
    const int pid = ((p[1] & 0x1F) << 8) | p[2];
    const bool unitStart = (p[1] & 0x40) != 0;
    const bool adaptation = (p[3] & 0x20) != 0;
    const std::size_t payload = adaptation ? 5 + static_cast<std::size_t>(p[4]) : 4;
    TsDemuxFollower::Start start;
    const unsigned char* data = p + std::min(payload, kTsPacket);
    const unsigned char* end = p + kTsPacket;
    if (unitStart && end - data >= 9) {
        // A PES header: its start code, stream_id, length at byte 4, and header length at byte 8.
        start.pes = data[0] == 0 && data[1] == 0 && data[2] == 1;
        const std::uint32_t length = (static_cast<std::uint32_t>(data[4]) << 8) | data[5];
        start.length = length > 0 ? 6 + length : 0;
    }
    const bool carries = (p[3] & 0x10) != 0 && payload < kTsPacket; // payload in it
    if (carries && unitStart && m_videoPid < 0 && start.pes && (data[3] & 0xF0) == 0xE0)
        m_videoPid = pid;
    if (carries && unitStart && pid == m_videoPid)
        m_bound.begin(us);
    if (!dropped) {
        start.frame = carries && unitStart && pid == m_videoPid ? m_bound.frames() : 0;
        m_demuxed.clear();
        m_demux.packet(p, start, m_demuxed);
        markDemuxed();
    }
    if (!carries)
        return;
    if (unitStart) {
        if (pid != m_videoPid)
            return;
        if (adaptation && p[4] > 0 && (p[5] & 0x40) != 0)
            m_bound.key();
        m_recent = 0xFFFFFFFF;
        if (start.pes)
            data = std::min(end, data + 9 + data[8]);
    } else if (pid != m_videoPid || !m_bound.inFrame()) {
        return;
    }
    if (dropped)
        m_bound.hit();
    else
        m_bound.passed(us);
    scan(data, end);
}

void TsFrameDamage::discontinuity()
{
    m_demuxed.clear();
    m_demux.discontinuity(m_demuxed);
    markDemuxed();
}

void TsFrameDamage::markDemuxed()
{
    for (const std::uint64_t frame : m_demuxed)
        m_bound.demuxed(frame);
}

void TsFrameDamage::scan(const unsigned char* data, const unsigned char* end)
{
    for (; data < end && !m_bound.openKey(); ++data) {
        const int type = *data & 0x1F;
        if ((m_recent & 0xFFFFFF) == 0x000001 && (type == kIdrSlice || type == kSequenceParameterSet))
            m_bound.key();
        m_recent = (m_recent << 8) | *data;
    }
}

} // namespace zephyrscope::tools

#include "TsFrameDamage.h"

#include <algorithm>

namespace zephyrscope::tools {

namespace {

constexpr std::size_t kTsPacket = 188;
constexpr int kIdrSlice = 5, kSequenceParameterSet = 7;

} // namespace

void TsFrameDamage::packet(const unsigned char* p, bool dropped, std::int64_t us)
{
    if (p[0] != 0x47 || (p[3] & 0x10) == 0)
        return;
    const int pid = ((p[1] & 0x1F) << 8) | p[2];
    const bool unitStart = (p[1] & 0x40) != 0;
    const bool adaptation = (p[3] & 0x20) != 0;
    const std::size_t payload = adaptation ? 5 + static_cast<std::size_t>(p[4]) : 4;
    if (payload >= kTsPacket)
        return;
    const unsigned char* data = p + payload;
    const unsigned char* end = p + kTsPacket;
    if (unitStart) {
        // A PES header: its start code, stream_id, and header length at byte 8.
        const bool pes = end - data >= 9 && data[0] == 0 && data[1] == 0 && data[2] == 1;
        if (m_videoPid < 0 && pes && (data[3] & 0xF0) == 0xE0)
            m_videoPid = pid;
        if (pid != m_videoPid)
            return;
        m_bound.begin(us);
        if (adaptation && p[4] > 0 && (p[5] & 0x40) != 0)
            m_bound.key();
        m_recent = 0xFFFFFFFF;
        if (pes)
            data = std::min(end, data + 9 + data[8]);
    } else if (pid != m_videoPid || !m_bound.inFrame()) {
        return;
    }
    if (dropped)
        m_bound.hit();
    scan(data, end);
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

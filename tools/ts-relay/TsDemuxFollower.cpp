#include "TsDemuxFollower.h"

#include <algorithm>

namespace zephyrscope::tools {

namespace {

constexpr std::uint32_t kTsPacket = 188;

} // namespace

void TsDemuxFollower::discontinuity(std::vector<std::uint64_t>& demuxed)
{
    // It drains first: what it collected goes out as it is, if it can be timed.
    for (auto& [number, pid] : m_pids) {
        if (pid.collecting)
            ended(pid, demuxed);
    }
    m_pids.clear();
    m_pcrSeen = m_timed = false;
    m_waiting.clear();
}

void TsDemuxFollower::ended(Pid& pid, std::vector<std::uint64_t>& demuxed)
{
    pid.collecting = false;
    // The first PES ended whose header came after a PCR times everything waiting.
    if (!m_timed && pid.timed) {
        m_timed = true;
        demuxed.insert(demuxed.end(), m_waiting.begin(), m_waiting.end());
        m_waiting.clear();
    }
    if (pid.frame > 0)
        (m_timed ? demuxed : m_waiting).push_back(pid.frame);
}

void TsDemuxFollower::packet(const unsigned char* p, const Start& start, std::vector<std::uint64_t>& demuxed)
{
    const bool adaptation = (p[3] & 0x20) != 0;
    if (adaptation && p[4] > 0 && (p[5] & 0x10) != 0)
        m_pcrSeen = true;
    if ((p[3] & 0x10) == 0)
        return;
    const std::uint32_t payload = adaptation ? 5u + p[4] : 4u;
    if (payload >= kTsPacket)
        return;
    const bool unitStart = (p[1] & 0x40) != 0;
    if (unitStart && !start.pes)
        return; // a section (PAT, PMT), not a PES
    Pid& pid = m_pids[((p[1] & 0x1F) << 8) | p[2]];
    const int counter = p[3] & 0x0F;
    if (unitStart) {
        if (pid.collecting)
            ended(pid, demuxed);
        pid.collecting = true;
        pid.timed = m_pcrSeen;
        pid.frame = start.frame;
        pid.left = start.length;
    } else if (pid.lastCounter >= 0 && counter != ((pid.lastCounter + 1) & 0x0F)) {
        pid.collecting = false;
    }
    pid.lastCounter = pid.collecting ? counter : -1;
    if (pid.collecting && pid.left > 0) {
        const std::uint32_t carried = kTsPacket - payload;
        pid.left = carried >= pid.left ? 0 : pid.left - carried;
        if (pid.left == 0)
            ended(pid, demuxed);
    }
}

} // namespace zephyrscope::tools

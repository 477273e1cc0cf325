#include "RtpH264FrameDamage.h"

namespace zephyrscope::tools {

namespace {

constexpr std::size_t kRtpHeader = 12;
constexpr int kIdrSlice = 5, kSequenceParameterSet = 7, kStapA = 24, kFuA = 28;

bool isKeyNal(int type)
{
    return type == kIdrSlice || type == kSequenceParameterSet;
}

} // namespace

bool RtpH264FrameDamage::carriesKey(const unsigned char* payload, std::size_t size)
{
    if (size < 1)
        return false;
    const int type = payload[0] & 0x1F;
    if (type == kFuA)
        return size >= 2 && (payload[1] & 0x80) != 0 && isKeyNal(payload[1] & 0x1F);
    if (type != kStapA)
        return isKeyNal(type);
    // Aggregated NAL units, each after its 16-bit size.
    for (std::size_t at = 1; at + 2 < size;) {
        const std::size_t length = (static_cast<std::size_t>(payload[at]) << 8) | payload[at + 1];
        if (isKeyNal(payload[at + 2] & 0x1F))
            return true;
        at += 2 + length;
    }
    return false;
}

void RtpH264FrameDamage::packet(const unsigned char* rtp, std::size_t size, bool dropped, std::int64_t us)
{
    if (size < kRtpHeader || (rtp[0] & 0xC0) != 0x80)
        return;
    std::size_t offset = kRtpHeader + 4 * static_cast<std::size_t>(rtp[0] & 0x0F);
    if ((rtp[0] & 0x10) && offset + 4 <= size)
        offset += 4 + 4 * ((static_cast<std::size_t>(rtp[offset + 2]) << 8) | rtp[offset + 3]);
    if (offset >= size)
        return;
    const std::uint32_t timestamp = (static_cast<std::uint32_t>(rtp[4]) << 24) | (rtp[5] << 16) | (rtp[6] << 8) | rtp[7];
    if (!m_bound.inFrame() || timestamp != m_timestamp) {
        m_bound.begin(us);
        m_timestamp = timestamp;
    }
    if (dropped)
        m_bound.hit();
    if (carriesKey(rtp + offset, size - offset))
        m_bound.key();
}

} // namespace zephyrscope::tools

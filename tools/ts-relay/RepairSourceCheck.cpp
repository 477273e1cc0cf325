#include "RepairSourceCheck.h"

#include <algorithm>

namespace zephyrscope::tools {

namespace {

constexpr std::uint32_t kMaxDropoutMs = 60000, kMaxMisorderMs = 2000; // rtpbin's defaults
constexpr std::int32_t kDefaultDropout = 3000, kMinDropout = 30;
constexpr std::int32_t kDefaultMisorder = 100, kMinMisorder = 10;
constexpr std::uint64_t kNone = ~std::uint64_t {0};
constexpr std::uint64_t kWrap = std::uint64_t {1} << 32;
constexpr std::uint64_t kNsPerSecond = 1000000000;

// An RTP time extended past 32 bits from the last one, as GStreamer extends
// it (gst_rtp_buffer_ext_timestamp); 0: a wrap back before any forward one.
std::uint64_t extendedTime(std::uint64_t last, std::uint32_t time)
{
    if (last == kNone)
        return kWrap + time;
    std::uint64_t result = time + (last & ~std::uint64_t {0xffffffff});
    if (result < last) {
        if (last - result > 0x7fffffff)
            result += kWrap;
    } else if (result - last > 0x7fffffff) {
        return result < kWrap ? 0 : result - kWrap;
    }
    return result;
}

} // namespace

std::uint32_t RepairSourceCheck::updateRate(std::uint16_t sequence, std::uint32_t rtpTime)
{
    const std::uint64_t time = extendedTime(m_rateTime, rtpTime);
    if (m_probed) {
        const int ahead = static_cast<std::int16_t>(sequence - m_rateSequence);
        if (ahead <= 15000) {
            // Only newer packets tell the rate.
            if (ahead <= 0 || time <= m_rateTime)
                return m_rate;
            const std::uint64_t ns = (time - m_rateTime) * kNsPerSecond / m_clockRate;
            const auto rate = static_cast<std::int32_t>(static_cast<std::uint64_t>(ahead) * kNsPerSecond / ns);
            // Higher rates win fast, lower ones slowly. GStreamer keeps the average
            // unsigned, and "none" as all ones: its first estimate, from that, is
            // about twice its remainder by a third of 2^32, a handful at most.
            const auto base = static_cast<std::int32_t>(m_rate > static_cast<std::uint32_t>(rate)
                                                            ? std::max<std::uint32_t>(m_rate / 3, 8)
                                                            : std::max<std::uint32_t>(m_rate / 15, 2));
            const int weight = std::min(ahead, base - 1);
            m_rate = (static_cast<std::uint32_t>(base - weight) * m_rate + static_cast<std::uint32_t>(rate * weight))
                / static_cast<std::uint32_t>(base);
        }
    }
    m_probed = true;
    m_rateSequence = sequence;
    m_rateTime = time;
    return m_rate;
}

std::vector<std::uint16_t> RepairSourceCheck::arrived(std::uint16_t sequence, std::uint32_t rtpTime)
{
    const std::uint32_t rate = updateRate(sequence, rtpTime);
    const auto limit = [rate](std::int32_t unknown, std::int32_t least, std::uint32_t ms) {
        return rate == kUnknownRate ? unknown
                                    : static_cast<std::int32_t>(std::max<std::uint32_t>(least, rate * ms / 1000));
    };
    const std::int32_t maxDropout = limit(kDefaultDropout, kMinDropout, kMaxDropoutMs);
    const std::int32_t maxMisorder = limit(kDefaultMisorder, kMinMisorder, kMaxMisorderMs);
    if (!m_started) {
        m_started = true;
        m_maxSequence = static_cast<std::uint16_t>(sequence - 1);
    }
    const auto delta = static_cast<std::int16_t>(sequence - static_cast<std::uint16_t>(m_maxSequence + 1));
    if (delta >= 0 && delta < maxDropout) {
        m_refused += m_held ? 1 : 0;
        m_held.reset();
        m_badSequence = 0x10001;
        m_maxSequence = sequence;
        return {sequence};
    }
    if (delta < -maxMisorder || delta >= maxDropout) {
        if (sequence == m_badSequence && m_held) {
            // Two in a row after the jump: the sender went on from there.
            std::vector<std::uint16_t> passed {*m_held, sequence};
            m_held.reset();
            m_badSequence = 0x10001;
            m_maxSequence = sequence;
            return passed;
        }
        m_refused += m_held ? 1 : 0;
        m_held = sequence;
        m_badSequence = static_cast<std::uint16_t>(sequence + 1);
        return {};
    }
    // Behind, within the misorder: the jitter buffer sorts it out.
    m_refused += m_held ? 1 : 0;
    m_held.reset();
    m_badSequence = 0x10001;
    return {sequence};
}

} // namespace zephyrscope::tools

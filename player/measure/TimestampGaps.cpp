#include "TimestampGaps.h"

namespace zephyrscope {

std::uint64_t TimestampGaps::add(std::int64_t timeUs, std::int64_t frameUs)
{
    const std::int64_t last = m_lastUs;
    // Decoding times only move forward; one that does not is a new start
    // (backwards) or a unit with the time of the last (a second field).
    if (last < 0 || timeUs < last || timeUs - last >= kRestartUs) {
        m_lastUs = timeUs;
        return 0;
    }
    if (timeUs == last)
        return 0;
    m_lastUs = timeUs;
    const std::int64_t gap = timeUs - last;
    if (frameUs <= 0 || 2 * gap <= 3 * frameUs)
        return 0;
    // The units that should have stood between them, to the nearest whole frame.
    const std::uint64_t missing = static_cast<std::uint64_t>((gap + frameUs / 2) / frameUs) - 1;
    m_missing += missing;
    return missing;
}

} // namespace zephyrscope

#include "JitterBufferDeadlines.h"

#include <algorithm>
#include <cstdlib>

namespace zephyrscope::tools {

namespace {

constexpr std::int64_t kSecondNs = 1000000000;
constexpr std::int64_t kWindowTimeNs = 2 * kSecondNs; // the mapping's window, in the sender's time

// How far b is after a, in 16-bit sequence numbers.
int ahead(int a, std::uint16_t b)
{
    return static_cast<std::int16_t>(static_cast<std::uint16_t>(b - a));
}

} // namespace

JitterBufferDeadlines::JitterBufferDeadlines(std::uint32_t clockRate, std::int64_t latencyNs)
    : m_clockRate(clockRate)
    , m_latencyNs(latencyNs)
{
}

void JitterBufferDeadlines::original(std::uint16_t sequence, std::uint32_t timestamp, std::int64_t atNs)
{
    expire(atNs);
    // Packets with the same timestamp as the one before: not evenly spaced.
    m_equidistant = std::clamp(m_equidistant + (static_cast<std::int64_t>(timestamp) == m_lastArrivalRtp ? -2 : 1), -7, 7);
    m_lastArrivalRtp = timestamp;
    if (m_next < 0) {
        const std::int64_t pts = timestampFor(timestamp, atNs, 0, false);
        m_spacingRtp = timestamp;
        m_spacingPts = pts;
        m_lastInPts = pts;
        m_next = static_cast<std::uint16_t>(sequence + 1);
        return;
    }
    const int gap = ahead(m_next, sequence);
    const std::int64_t pts = timestampFor(timestamp, atNs, gap, false);
    if (gap == 0) {
        spacing(timestamp, pts);
    } else {
        if (gap > 0)
            missing(static_cast<std::uint16_t>(m_next), gap, pts, atNs);
        else
            m_waiting.erase(sequence);
        m_spacingRtp = -1;
        m_spacingPts = -1;
    }
    if (gap >= 0) {
        m_lastInPts = pts;
        m_next = static_cast<std::uint16_t>(sequence + 1);
    }
}

void JitterBufferDeadlines::repair(std::uint16_t sequence, std::uint32_t timestamp, std::int64_t atNs)
{
    expire(atNs);
    const bool waiting = m_waiting.count(sequence) > 0;
    // One it never asked for, or no longer has a record of asking for, it ignores outright.
    if (m_next < 0 || (!waiting && !m_givenUp.count(sequence) && !m_recovered.count(sequence)))
        return;
    const int gap = ahead(m_next, sequence);
    const std::int64_t pts = timestampFor(timestamp, atNs, gap, true);
    m_spacingRtp = -1;
    m_spacingPts = -1;
    if (pts < 0)
        return;
    if (waiting) {
        m_waiting.erase(sequence);
        m_recovered.insert(sequence);
        ++m_verdict.recovered;
    } else if (m_givenUp.count(sequence) && m_recovered.insert(sequence).second) {
        ++m_verdict.late;
    }
}

void JitterBufferDeadlines::expire(std::int64_t nowNs)
{
    for (auto it = m_waiting.begin(); it != m_waiting.end();) {
        if (it->second + m_latencyNs <= nowNs) {
            m_givenUp.insert(it->first);
            ++m_verdict.givenUp;
            it = m_waiting.erase(it);
        } else {
            ++it;
        }
    }
}

void JitterBufferDeadlines::missing(std::uint16_t first, int gap, std::int64_t pts, std::int64_t nowNs)
{
    std::int64_t duration = 0, expected = pts;
    if (m_equidistant > 0) {
        // Spaced between the last packet and this one; those already past their
        // deadline are given up at once, but for as many as the latency could still save.
        const std::int64_t total = std::max<std::int64_t>(0, pts - m_lastInPts);
        duration = total / (gap + 1);
        if (total > 0 && m_spacing > 0)
            duration = m_spacing;
        expected = m_lastInPts + duration;
        if (nowNs > expected + m_latencyNs) {
            const std::int64_t gapTime = std::max<std::int64_t>(0, pts - expected);
            const int saveable = duration > 0 ? static_cast<int>(m_latencyNs / duration) : 0;
            const int lost = std::max(1, gap - saveable);
            const std::int64_t saveableTime = std::min(static_cast<std::int64_t>(gap - lost) * duration, gapTime);
            for (int i = 0; i < lost; ++i) {
                m_givenUp.insert(static_cast<std::uint16_t>(first + i));
                ++m_verdict.givenUp;
            }
            first = static_cast<std::uint16_t>(first + lost);
            gap -= lost;
            expected += gapTime - saveableTime;
        }
    }
    const std::int64_t remainder = std::max<std::int64_t>(0, std::max<std::int64_t>(0, pts - expected) - duration * gap);
    for (int i = 0; i < gap; ++i) {
        const std::uint16_t sequence = static_cast<std::uint16_t>(first + i);
        if (!m_waiting.count(sequence))
            m_waiting[sequence] = expected;
        std::int64_t step = i == 0 ? duration + remainder : duration;
        expected += std::min(step, std::max<std::int64_t>(0, pts - expected));
    }
}

void JitterBufferDeadlines::spacing(std::uint32_t rtpTime, std::int64_t pts)
{
    if (static_cast<std::int64_t>(rtpTime) == m_spacingRtp)
        return;
    if (m_spacingPts >= 0 && pts >= 0 && pts > m_spacingPts) {
        const std::int64_t latest = pts - m_spacingPts;
        // Weighted toward the longer, as the receiver does.
        if (m_spacing > latest)
            m_spacing = (latest + 3 * m_spacing) / 4;
        else if (m_spacing > 0)
            m_spacing = (3 * latest + m_spacing) / 4;
        else
            m_spacing = latest;
    }
    m_spacingRtp = rtpTime;
    m_spacingPts = pts;
}

std::int64_t JitterBufferDeadlines::extended(std::uint32_t rtpTime)
{
    constexpr std::int64_t kWrap = std::int64_t {1} << 32;
    if (m_extRtp < 0)
        return m_extRtp = kWrap + rtpTime;
    std::int64_t result = rtpTime + (m_extRtp & ~(kWrap - 1));
    if (result < m_extRtp && m_extRtp - result > INT32_MAX)
        result += kWrap;
    else if (result > m_extRtp && result - m_extRtp > INT32_MAX)
        return result - kWrap; // backwards over a wrap: the stored value stays
    return m_extRtp = result;
}

std::int64_t JitterBufferDeadlines::timestampFor(std::uint32_t rtpTime, std::int64_t atNs, int gap, bool repair)
{
    const std::int64_t ext = extended(rtpTime);
    // The same timestamp again takes the time the last one got.
    if (m_lastRtp >= 0 && ext == m_lastRtp)
        return m_prevOut;
    m_lastRtp = ext;
    const std::int64_t rtpNs = ext / m_clockRate * kSecondNs + ext % m_clockRate * kSecondNs / m_clockRate;
    if (m_baseRtpNs >= 0 && rtpNs < m_baseRtpNs) {
        if (repair)
            return -1;
        m_needResync = true;
    }
    if (m_needResync) {
        if (repair)
            return -1;
        resync(atNs, rtpNs, false);
    }
    std::int64_t pts = skewed(rtpNs, atNs, gap, repair);
    const std::int64_t sendDiff = rtpNs - m_baseRtpNs;
    if (pts >= 0 && m_prevOut >= 0 && m_prevSendDiff >= 0
        && ((sendDiff > m_prevSendDiff && pts < m_prevOut) || (sendDiff < m_prevSendDiff && pts > m_prevOut)
            || sendDiff == m_prevSendDiff))
        pts = m_prevOut;
    if (gap == 0 && pts + m_latencyNs < atNs) {
        // Later than its time plus the latency: the sender paused; start over here.
        resetSkew();
        resync(atNs, rtpNs, true);
        ++m_verdict.startedOver;
        pts = atNs;
    }
    m_prevOut = pts;
    m_prevSendDiff = rtpNs - m_baseRtpNs;
    return pts;
}

std::int64_t JitterBufferDeadlines::skewed(std::int64_t rtpNs, std::int64_t atNs, int gap, bool repair)
{
    std::int64_t sendDiff = rtpNs - m_baseRtpNs;
    if (!repair && m_baseTime >= 0) {
        // The arrival's lag behind the sender's clock, against the first packet's.
        std::int64_t delta = (atNs - m_baseTime) - sendDiff;
        if (std::llabs(delta - m_skew) > kSecondNs) {
            resync(atNs, rtpNs, true);
            ++m_verdict.startedOver;
            sendDiff = 0;
            delta = 0;
            gap = 0;
        }
        if (gap == 0)
            fillWindow(delta, sendDiff);
    }
    if (m_baseTime < 0)
        return -1;
    const std::int64_t out = m_baseTime + sendDiff;
    return m_skew < 0 && out < -m_skew ? 0 : out + m_skew;
}

void JitterBufferDeadlines::fillWindow(std::int64_t delta, std::int64_t sendDiff)
{
    int pos = m_windowPos;
    if (m_windowFilling) {
        m_window[static_cast<std::size_t>(pos++)] = delta;
        if (pos == 1 || delta < m_windowMin)
            m_windowMin = delta;
        if (sendDiff >= kWindowTimeNs || pos >= kWindow) {
            m_windowSize = pos;
            m_skew = m_windowMin;
            m_windowFilling = false;
        } else {
            // Toward the least lag the faster, the fuller the window.
            std::int64_t perc = std::max<std::int64_t>(sendDiff * 100 / kWindowTimeNs, pos * 100 / kWindow);
            perc = perc * perc;
            m_skew = (perc * m_windowMin + (10000 - perc) * m_skew) / 10000;
            m_windowSize = pos + 1;
        }
    } else {
        const std::int64_t old = m_window[static_cast<std::size_t>(pos)];
        m_window[static_cast<std::size_t>(pos++)] = delta;
        if (delta <= m_windowMin) {
            m_windowMin = delta;
        } else if (old == m_windowMin) {
            std::int64_t least = INT64_MAX;
            for (int i = 0; i < m_windowSize; ++i) {
                if (m_window[static_cast<std::size_t>(i)] == old) {
                    least = old;
                    break;
                }
                least = std::min(least, m_window[static_cast<std::size_t>(i)]);
            }
            m_windowMin = least;
        }
        m_skew = (m_windowMin + 124 * m_skew) / 125;
    }
    m_windowPos = pos >= m_windowSize ? 0 : pos;
}

void JitterBufferDeadlines::resync(std::int64_t atNs, std::int64_t rtpNs, bool resetSkew)
{
    m_baseTime = atNs;
    m_baseRtpNs = rtpNs;
    m_prevOut = -1;
    m_prevSendDiff = -1;
    if (resetSkew) {
        m_windowFilling = true;
        m_windowPos = 0;
        m_windowMin = 0;
        m_windowSize = 0;
        m_skew = 0;
    }
    m_needResync = false;
}

void JitterBufferDeadlines::resetSkew()
{
    m_baseTime = -1;
    m_baseRtpNs = -1;
    m_extRtp = -1;
    m_lastRtp = -1;
    m_windowPos = 0;
    m_windowFilling = true;
    m_windowMin = 0;
    m_skew = 0;
    m_prevOut = -1;
    m_prevSendDiff = -1;
    m_needResync = true;
}

} // namespace zephyrscope::tools

#include "RateCap.h"

#include <algorithm>
#include <cmath>

namespace zephyrscope::tools::impair {

RateCap::RateCap(const Params& params)
    : m_params(params)
    , m_bytesPerUs(static_cast<double>(params.bitsPerSecond) / 8e6)
    , m_tokens(static_cast<double>(params.bucketBytes))
{
}

std::int64_t RateCap::queuedBytes(std::int64_t nowUs)
{
    while (!m_waiting.empty() && m_waiting.front().first <= nowUs) {
        m_waitingBytes -= m_waiting.front().second;
        m_waiting.pop_front();
    }
    return m_waitingBytes;
}

std::optional<std::int64_t> RateCap::departureUs(std::int64_t nowUs, std::size_t size)
{
    ++m_counts.seen;
    const auto bytes = static_cast<std::int64_t>(size);
    if (!active()) {
        m_counts.passedBytes += size;
        return nowUs;
    }
    if (queuedBytes(nowUs) + bytes > m_params.queueBytes) {
        ++m_counts.capped;
        m_counts.cappedBytes += size;
        return std::nullopt;
    }
    // The datagram starts when the one before it has left, with the tokens that
    // came since, up to the bucket's depth.
    const double start = std::max(static_cast<double>(nowUs), m_linkFreeUs);
    const double depth = static_cast<double>(m_params.bucketBytes);
    double tokens = std::min(depth, m_tokens + (start - m_tokensAtUs) * m_bytesPerUs);
    double leave = start;
    if (tokens < static_cast<double>(bytes)) {
        leave = start + (static_cast<double>(bytes) - tokens) / m_bytesPerUs;
        tokens = static_cast<double>(bytes);
    }
    if (m_params.queueUs > 0 && leave - static_cast<double>(nowUs) > static_cast<double>(m_params.queueUs)) {
        ++m_counts.capped;
        m_counts.cappedBytes += size;
        return std::nullopt;
    }
    m_tokens = tokens - static_cast<double>(bytes);
    m_tokensAtUs = leave;
    m_linkFreeUs = leave;
    const auto departure = static_cast<std::int64_t>(std::ceil(leave));
    m_counts.passedBytes += size;
    if (departure > nowUs) {
        ++m_counts.held;
        m_counts.longestWaitUs = std::max(m_counts.longestWaitUs, departure - nowUs);
        m_waiting.emplace_back(departure, bytes);
        m_waitingBytes += bytes;
    }
    return departure;
}

} // namespace zephyrscope::tools::impair

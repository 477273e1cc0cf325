#include "LoudnessMeter.h"

#include <cmath>

namespace zephyrscope {

namespace {

// libebur128 says -HUGE_VAL for sound below its gate, or none yet.
std::optional<double> finite(int status, double value)
{
    return status == EBUR128_SUCCESS && std::isfinite(value) ? std::optional<double>(value) : std::nullopt;
}

} // namespace

void LoudnessMeter::start(unsigned rate, std::span<const Channel> channels)
{
    m_state.reset();
    m_channels = 0;
    if (channels.empty() || rate == 0)
        return;
    // The histogram keeps the integrated loudness and its range cheap to read
    // however long the entry plays.
    m_state.reset(ebur128_init(static_cast<unsigned>(channels.size()), rate,
                               EBUR128_MODE_M | EBUR128_MODE_S | EBUR128_MODE_I | EBUR128_MODE_LRA
                                   | EBUR128_MODE_TRUE_PEAK | EBUR128_MODE_HISTOGRAM));
    if (!m_state)
        return;
    for (std::size_t i = 0; i < channels.size(); ++i)
        ebur128_set_channel(m_state.get(), static_cast<unsigned>(i), channels[i]);
    m_channels = static_cast<unsigned>(channels.size());
}

void LoudnessMeter::add(const float* samples, std::size_t frames)
{
    if (m_state && frames > 0)
        ebur128_add_frames_float(m_state.get(), samples, frames);
}

LoudnessMeter::Reading LoudnessMeter::read() const
{
    Reading reading;
    if (!m_state)
        return reading;
    ebur128_state* state = m_state.get();
    double value = 0.0;
    int status = ebur128_loudness_momentary(state, &value);
    reading.momentaryLufs = finite(status, value);
    status = ebur128_loudness_shortterm(state, &value);
    reading.shortTermLufs = finite(status, value);
    status = ebur128_loudness_global(state, &value);
    reading.integratedLufs = finite(status, value);
    status = ebur128_loudness_range(state, &value);
    if (reading.integratedLufs)
        reading.rangeLu = finite(status, value);
    double peak = 0.0;
    for (unsigned c = 0; c < m_channels; ++c) {
        double channelPeak = 0.0;
        if (ebur128_true_peak(state, c, &channelPeak) == EBUR128_SUCCESS && channelPeak > peak)
            peak = channelPeak;
    }
    if (peak > 0.0)
        reading.truePeakDbtp = 20.0 * std::log10(peak);
    return reading;
}

} // namespace zephyrscope

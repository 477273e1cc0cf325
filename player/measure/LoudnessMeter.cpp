#include "LoudnessMeter.h"

#include <cmath>
#include <type_traits>

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
    m_truePeak.start(0, 0);
    if (channels.empty() || rate == 0)
        return;
    // The histogram keeps the integrated loudness and its range cheap to read
    // however long the entry plays.
    m_state.reset(ebur128_init(static_cast<unsigned>(channels.size()), rate,
                               EBUR128_MODE_M | EBUR128_MODE_S | EBUR128_MODE_I | EBUR128_MODE_LRA
                                   | EBUR128_MODE_HISTOGRAM));
    if (!m_state)
        return;
    for (std::size_t i = 0; i < channels.size(); ++i)
        ebur128_set_channel(m_state.get(), static_cast<unsigned>(i), channels[i]);
    m_truePeak.start(rate, static_cast<unsigned>(channels.size()));
}

void LoudnessMeter::add(const SoundSamples& samples)
{
    if (!m_state || samples.frames == 0)
        return;
    ebur128_state* state = m_state.get();
    const std::size_t frames = samples.frames;
    samples.read([&](const auto* data, float) {
        using Sample = std::remove_cv_t<std::remove_pointer_t<decltype(data)>>;
        if constexpr (std::is_same_v<Sample, float>)
            ebur128_add_frames_float(state, data, frames);
        else if constexpr (std::is_same_v<Sample, double>)
            ebur128_add_frames_double(state, data, frames);
        else if constexpr (std::is_same_v<Sample, std::int16_t>)
            ebur128_add_frames_short(state, data, frames);
        else
            ebur128_add_frames_int(state, data, frames);
        m_truePeak.add(data, frames);
    });
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
    const double peak = m_truePeak.peak();
    if (peak > 0.0)
        reading.truePeakDbtp = 20.0 * std::log10(peak);
    return reading;
}

} // namespace zephyrscope

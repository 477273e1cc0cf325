#include "LoudnessMeter.h"

#include <algorithm>
#include <cmath>
#include <type_traits>

namespace zephyrscope {

namespace {

constexpr unsigned long kBlockMs = 100;
constexpr std::size_t kMomentaryBlocks = 4; // 400 ms
// BS.1770's loudness of a mean square energy E is -0.691 + 10 log10(E).
constexpr double kLoudnessOffset = 0.691;

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
    m_channels = 0;
    m_framesInBlock = m_blocksEnded = 0;
    m_blockEnergy.fill(0.0);
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
    m_channels = static_cast<unsigned>(channels.size());
    // The frames libebur128 takes for a window of 100 ms.
    m_blockFrames = std::max<std::size_t>(1, static_cast<std::size_t>(rate) * kBlockMs / 1000);
}

void LoudnessMeter::add(const SoundSamples& samples)
{
    if (!m_state || samples.frames == 0)
        return;
    samples.read([&](const auto* data, float) { addBlocks(data, samples.frames); });
}

template <typename Sample>
void LoudnessMeter::addBlocks(const Sample* samples, std::size_t frames)
{
    ebur128_state* state = m_state.get();
    while (frames > 0) {
        const std::size_t count = std::min(frames, m_blockFrames - m_framesInBlock);
        if constexpr (std::is_same_v<Sample, float>)
            ebur128_add_frames_float(state, samples, count);
        else if constexpr (std::is_same_v<Sample, double>)
            ebur128_add_frames_double(state, samples, count);
        else if constexpr (std::is_same_v<Sample, std::int16_t>)
            ebur128_add_frames_short(state, samples, count);
        else
            ebur128_add_frames_int(state, samples, count);
        m_truePeak.add(samples, count);
        samples += count * m_channels;
        frames -= count;
        m_framesInBlock += count;
        if (m_framesInBlock < m_blockFrames)
            continue;
        m_framesInBlock = 0;
        double loudness = 0.0;
        double energy = 0.0;
        if (ebur128_loudness_window(state, kBlockMs, &loudness) == EBUR128_SUCCESS && std::isfinite(loudness))
            energy = std::pow(10.0, (loudness + kLoudnessOffset) / 10.0);
        m_blockEnergy[m_blocksEnded++ % kBlocksKept] = energy;
    }
}

std::optional<double> LoudnessMeter::loudnessOfLast(std::size_t blocks) const
{
    double sum = 0.0;
    for (std::size_t i = 1; i <= blocks; ++i)
        sum += m_blockEnergy[(m_blocksEnded + kBlocksKept - i) % kBlocksKept];
    const double energy = sum / static_cast<double>(blocks);
    // As libebur128 says it: none for no energy.
    if (!(energy > 0.0))
        return std::nullopt;
    return 10.0 * std::log10(energy) - kLoudnessOffset;
}

LoudnessMeter::Reading LoudnessMeter::read() const
{
    Reading reading;
    if (!m_state)
        return reading;
    ebur128_state* state = m_state.get();
    double value = 0.0;
    reading.momentaryLufs = loudnessOfLast(kMomentaryBlocks);
    reading.shortTermLufs = loudnessOfLast(kBlocksKept);
    int status = ebur128_loudness_global(state, &value);
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

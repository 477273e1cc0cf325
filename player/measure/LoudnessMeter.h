#pragma once

// Loudness by EBU R128 / ITU-R BS.1770 of one entry's sound, with libebur128:
// momentary (400 ms), short-term (3 s), integrated and its range; and the true
// peak, libebur128's to the last bit, by TruePeakMeter at a fraction of its
// cost. The momentary and short-term loudness are the mean energy of the last
// 4 and 30 blocks of 100 ms, each block's taken from libebur128 as it ends
// (libebur128 would sum all 3 s of samples again for each reading). The
// samples are read in the sink's own format, not converted. Not thread-safe:
// its owner guards it. Private to player/.

#include "SoundSamples.h"
#include "TruePeakMeter.h"

#include <ebur128.h>

#include <array>
#include <cstddef>
#include <memory>
#include <optional>
#include <span>

namespace zephyrscope {

class LoudnessMeter {
public:
    // What BS.1770 weighs each channel as (libebur128's channel kinds).
    using Channel = int;

    // A new meter for this layout; the old one's figures go.
    void start(unsigned rate, std::span<const Channel> channels);
    bool started() const { return m_state != nullptr; }
    void add(const SoundSamples& samples);

    struct Reading {
        std::optional<double> momentaryLufs, shortTermLufs, integratedLufs, rangeLu, truePeakDbtp;
    };
    Reading read() const;

private:
    struct Free {
        void operator()(ebur128_state* state) const { ebur128_destroy(&state); }
    };
    // Feeds libebur128 up to the end of the current block of 100 ms at most.
    template <typename Sample>
    void addBlocks(const Sample* samples, std::size_t frames);
    std::optional<double> loudnessOfLast(std::size_t blocks) const;

    static constexpr std::size_t kBlocksKept = 30; // the short-term window

    std::unique_ptr<ebur128_state, Free> m_state;
    TruePeakMeter m_truePeak;
    unsigned m_channels = 0;
    std::size_t m_blockFrames = 0, m_framesInBlock = 0;
    std::array<double, kBlocksKept> m_blockEnergy {}; // a ring; blocks before the first are silent
    std::size_t m_blocksEnded = 0;
};

} // namespace zephyrscope

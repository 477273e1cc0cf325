#pragma once

// Loudness by EBU R128 / ITU-R BS.1770 of one entry's sound, with libebur128:
// momentary (400 ms), short-term (3 s), integrated and its range; and the true
// peak, libebur128's to the last bit, by TruePeakMeter at a fraction of its
// cost. The samples are read in the sink's own format, not converted. Not
// thread-safe: its owner guards it. Private to player/.

#include "SoundSamples.h"
#include "TruePeakMeter.h"

#include <ebur128.h>

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
    std::unique_ptr<ebur128_state, Free> m_state;
    TruePeakMeter m_truePeak;
};

} // namespace zephyrscope

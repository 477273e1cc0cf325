#pragma once

// Judges the programme clock references of one PCR PID, each as it is taken in:
//
// - pcr_repetition: two consecutive PCRs more than 100 ms apart in their own
//   time. A gap of more than a second is a new time base (a discontinuity
//   only), and the interval up to a PCR whose discontinuity_indicator is set
//   is not judged.
// - pcr_discontinuity: a PCR less than the last or more than 100 ms after it
//   without the discontinuity_indicator set. PCRs left out for a while make
//   both errors at once, as the two rules are worded.
// - pcr_accuracy: a PCR more than 500 ns off the value interpolated from its
//   two neighbours by their byte positions. That holds only for a stream sent
//   at a constant rate, so it is judged only while the last few PCRs lie on
//   one line through their byte positions within kConstantRateToleranceUs;
//   otherwise (a variable-rate stream) nothing counts and accuracyJudged() says so.
// - jitter, when arrival times are given: how much later a PCR arrived than
//   its value says it should have, against the earliest arrival (the least
//   transit, arrival minus PCR) over the last kBaselineUs, which follows a
//   slow drift between the sender's clock and the receiver's. What arrives in
//   the first kSettleUs is left out: a receiver whose pipeline is still being
//   built reads its socket late, then catches up, and that is not the network's.
//
// The PCR's 33-bit base wraps after 26.5 h; differences are taken modulo it.
// Times are in 27 MHz ticks for PCRs and microseconds of a monotonic clock for
// arrivals. Thread: not thread-safe; the analyser's feeding thread.

#include "TsErrorCounts.h"

#include <cstdint>
#include <deque>
#include <optional>

namespace zephyrscope {

class PcrTiming {
public:
    static constexpr std::int64_t kTicksPerUs = 27;
    static constexpr std::int64_t kRepetitionUs = 100000;
    static constexpr std::int64_t kNewTimeBaseUs = 1000000;
    static constexpr std::int64_t kAccuracyNs = 500;
    static constexpr std::int64_t kConstantRateToleranceUs = 50;
    static constexpr std::size_t kRateWindow = 8; // PCRs the constant rate is judged over
    static constexpr std::int64_t kBaselineUs = 1000000;
    static constexpr std::int64_t kJitterWindowUs = 10000000;
    static constexpr std::int64_t kSettleUs = 2000000;

    // A PCR (27 MHz ticks), the byte position of its packet in the stream,
    // whether its packet set the discontinuity_indicator, and when it arrived.
    void take(std::int64_t pcrTicks, std::uint64_t bytePosition, bool discontinuity,
              std::optional<std::int64_t> arrivalUs, TsErrorCounts& errors);

    // Whether the last PCRs came at a constant rate, so that their accuracy is judged.
    bool accuracyJudged() const { return m_constantRate; }
    // The largest jitter over the last 10 s of arrivals, in ms; none without
    // arrival times.
    std::optional<double> jitterMs() const;

private:
    struct Reference {
        std::int64_t ticks = 0; // unwrapped since the time base began
        std::uint64_t position = 0;
    };
    struct Timed {
        std::int64_t arrivalUs = 0;
        std::int64_t valueUs = 0;
    };

    void restart();
    void judgeAccuracy(TsErrorCounts& errors);
    void measureJitter(std::int64_t arrivalUs, std::int64_t pcrUs);

    std::optional<std::int64_t> m_lastTicks; // as sent, wrapped
    std::int64_t m_unwrapped = 0;
    std::deque<Reference> m_recent; // since the time base began, at most kRateWindow
    bool m_constantRate = false;
    std::optional<std::int64_t> m_firstArrivalUs;
    std::deque<Timed> m_transits; // increasing transit, over the last kBaselineUs: the least first
    std::deque<Timed> m_jitters;  // over the last kJitterWindowUs
};

} // namespace zephyrscope

#pragma once

#include <cstdint>

namespace zephyrscope {

// Follows one condition over a stream of timed observations (frames, blocks of
// sound) and says when it has held long enough to be a stretch, and when that
// stretch ends. Times are the stream's own (us), so it runs at any speed. Pure.
class StretchTracker {
public:
    enum class Change { None, Started, Ended };

    explicit StretchTracker(std::int64_t minDurationUs);

    // The condition held (or not) over [timeUs, timeUs + durationUs). A time
    // before the last one seen (a seek, a new segment) ends what was open.
    Change observe(bool holds, std::int64_t timeUs, std::int64_t durationUs);
    // Nothing more comes (the stream ended): ends what was open.
    Change finish();

    bool open() const { return m_open; }
    // The current stretch (or the last, once ended): where it began and where
    // it ended, or how far it has reached while open.
    std::int64_t startUs() const { return m_startUs; }
    std::int64_t endUs() const { return m_endUs; }

private:
    std::int64_t m_minDurationUs;
    bool m_candidate = false; // the condition holds since m_startUs
    bool m_open = false;      // ... and has for the minimum: a stretch
    std::int64_t m_startUs = 0;
    std::int64_t m_endUs = 0;
    std::int64_t m_lastUs = -1;
};

} // namespace zephyrscope

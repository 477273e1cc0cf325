#pragma once

#include <cstdint>
#include <deque>
#include <optional>

namespace zephyrscope {

// The offset between sound and picture of a sync test signal: a white flash
// and a beep once a second, as broadcast test signals carry. A flash starts
// where the picture turns from dark to bright (its mean level crosses half
// the luma range), a beep where a block of sound rises from quiet to loud;
// each beep is paired with the flash nearest it. Only a pattern counts: at
// least three flashes and three beeps a second apart (give or take 100 ms),
// the last within three seconds of the latest time seen. Times are the
// running times both sinks play by (us). Pure; not thread-safe.
class SyncPatternOffset {
public:
    // One picture shown at timeUs: its mean level, a share of the luma range.
    void observePicture(double meanLevel, std::int64_t timeUs);
    // One block of sound starting at timeUs: its peak, dB full scale.
    void observeSound(double peakDbfs, std::int64_t timeUs);
    // The sound's time minus the picture's (ms; positive: the sound comes
    // late), the median over the last pairs; none while no pattern is seen.
    std::optional<double> offsetMs() const;
    void reset();

private:
    static bool periodic(const std::deque<std::int64_t>& onsets);
    static void keep(std::deque<std::int64_t>& onsets, std::int64_t timeUs);

    std::deque<std::int64_t> m_flashesUs, m_beepsUs;
    bool m_bright = false, m_loud = false;
    std::int64_t m_latestUs = 0;
};

} // namespace zephyrscope

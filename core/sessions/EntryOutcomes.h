#pragma once

#include <cstdint>

namespace zephyrscope {

// How each entry of the run ended, in CTA-2066's terms, as the session report
// counts them from the JSON Lines log (docs/QOE.md): a Video Start Failure
// failed before its first picture, an Exit Before Video Start was stopped or
// ended otherwise before it, a Video Playback Failure failed after it. An entry
// is one from the player's Transitioning to its end (played, stopped, failed);
// its picture has come once the player gives it a first frame's time, or a
// tick finds it Playing. UI thread only.
class EntryOutcomes {
public:
    // firstFrameWallMs: the player's first frame time as of now (0: none). A
    // time the player still gives from the entry before does not count.
    void playStateChanged(std::int32_t state, std::int64_t firstFrameWallMs);
    // A sample tick: the state it wrote and the player's figures with it.
    void ticked(std::int32_t state, std::int64_t firstFrameWallMs);
    // The entry failed; an entry that failed before Transitioning never showed a picture.
    void failed(std::int64_t firstFrameWallMs);
    // The run ends: an entry still going is stopped.
    void runEnded();

    std::uint64_t videoStartFailures() const { return m_startFailures; }
    std::uint64_t exitsBeforeVideoStart() const { return m_exitsBeforeStart; }
    std::uint64_t videoPlaybackFailures() const { return m_playbackFailures; }

private:
    void see(std::int64_t firstFrameWallMs);
    void end(bool failed);

    bool m_active = false;
    bool m_started = false;
    std::int64_t m_staleFirstFrameMs = 0; // the player's first frame time when the entry began
    std::uint64_t m_startFailures = 0, m_exitsBeforeStart = 0, m_playbackFailures = 0;
};

} // namespace zephyrscope

#pragma once

#include "Clock.h"
#include "ExitStatus.h"

#include <cstdint>
#include <string>

namespace zephyrscope {

class LogSink;
class Player;
class PlaybackHost;
struct PlaybackValues;

// What the program does with the player's events: keeps the playback values the
// sampler reads, writes a media block for each opened clip, and offers the
// automatic shutdown once the player is idle after a clip has ended (or after a
// failure), and tallies what the run has come to for its exit status.
//
// Runs on the UI thread. OnPlayStateChange may run a modal countdown and so be
// entered again from inside it; a Ready that arrives then is ignored.
class PlaybackEvents {
public:
    PlaybackEvents(Clock& clock, Player& player, LogSink& log, PlaybackHost& host, PlaybackValues& values);

    void OnPlayStateChange(std::int32_t newState);
    // Throws PlayerError or LogError when the media block cannot be read or written.
    void OnOpenStateChange(std::int32_t newState);
    // An entry failed; the player goes on with the next one or becomes Ready.
    // Returns the reason as the user is told it: for an entry that had played, how
    // long it played ("connection lost after 12.3 s of play: <reason>" for a stream).
    std::string OnMediaError(const std::string& url, const std::string& reason);
    // A write to the log failed: the run's measurement is incomplete.
    void OnLogWriteFailed() { m_tally.logIncomplete = true; }

    // Whether a failure offers the countdown too (true by default): for an
    // unattended run, which would otherwise never end. Someone who opened a URL by
    // hand is there to see the failure and open another.
    void setCountdownAfterFailure(bool offered) { m_countdownAfterFailure = offered; }

    // A monitoring run never ends by itself: no countdown is offered, after an
    // end or a failure alike; the program opens the entry again instead.
    void setMonitor(bool monitor) { m_monitor = monitor; }

    bool countdownOpen() const { return m_countdownOpen; }
    const RunTally& tally() const { return m_tally; }

private:
    void offerShutdown();

    Clock& m_clock;
    Player& m_player;
    LogSink& m_log;
    PlaybackHost& m_host;
    PlaybackValues& m_values;

    bool m_countdownOpen = false;
    bool m_countdownAfterFailure = true;
    bool m_monitor = false;
    // An entry failed since the last countdown.
    bool m_failedSinceCountdown = false;

    RunTally m_tally;
    std::int32_t m_state = 0; // the last play state reported
    // The current entry reached Playing (reset when the next one begins, at Transitioning).
    bool m_entryPlayed = false;
    // Time the current entry spent in Playing before its present stretch, in ms.
    std::int64_t m_entryPlayedMs = 0;
};

} // namespace zephyrscope

#pragma once

#include <cstdint>
#include <string>

namespace zephyrscope {

class Clock;
class LogSink;
class Player;
class PlaybackHost;
struct PlaybackValues;

// What the program does with the player's events: keeps the playback values the
// sampler reads, writes a media block for each opened clip, and offers the
// automatic shutdown once the player is idle after a clip has ended (or, in a run
// where nothing could be played, after a failure).
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
    void OnMediaError(const std::string& url, const std::string& reason);

    bool countdownOpen() const { return m_countdownOpen; }

private:
    void offerShutdown(int exitStatus);

    Clock& m_clock;
    Player& m_player;
    LogSink& m_log;
    PlaybackHost& m_host;
    PlaybackValues& m_values;

    bool m_countdownOpen = false;
    // An entry failed since the last countdown.
    bool m_failedSinceCountdown = false;
};

} // namespace zephyrscope

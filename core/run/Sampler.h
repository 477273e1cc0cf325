#pragma once

#include "Clock.h"
#include "SampleLine.h"

#include <string>

namespace zephyrscope {

class LogSink;
class Player;
class TextDisplay;
struct PlaybackValues;

// Takes one sample of the player's streaming statistics per tick and appends it to
// the log as one line. Lives as long as the main dialog; its time base and frame
// estimate survive clips, playlists, Stop and Play.
//
// A tick that fails (a player read or the log append throws) ends at that point and
// the exception passes on: no line is written, the time-base handling and the FPS
// text stand, and the frame estimate is left as it was.
class Sampler {
public:
    Sampler(Clock& clock, Player& player, LogSink& log, TextDisplay& fpsBox, PlaybackValues& values);

    // One tick of the sample timer.
    void OnTimer();

    // The values of the last tick that wrote its line; meaningless before the
    // first one and after a tick that threw.
    const SampleLine& lastSample() const { return m_sample; }

private:
    double iFramerate(ProcessClockMs now, double fps, std::int32_t playState);

    Clock& m_clock;
    Player& m_player;
    LogSink& m_log;
    TextDisplay& m_fpsBox;
    PlaybackValues& m_values;

    bool m_hasSampleBase = false;
    // The clock reading the Time column counts from.
    ProcessClockMs m_sampleBaseClock = 0;
    // Frames estimated as shown since the last play start, as of the last tick in Playing.
    double m_frameEstimate = 0.0;
    // Seconds from the last play start to the last tick in Playing.
    double m_playSeconds = 0.0;

    // Reused from tick to tick: once they have grown, a tick allocates nothing.
    SampleLine m_sample;
    std::string m_line;
};

} // namespace zephyrscope

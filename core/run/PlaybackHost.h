#pragma once

namespace zephyrscope {

// What the playback-event handling asks of the run that owns it.
class PlaybackHost {
public:
    virtual ~PlaybackHost() = default;

    // Stops the 500 ms sample timer; stopping a stopped timer does nothing.
    virtual void stopSampleTimer() = 0;
    // Runs the auto-shutdown countdown modally; returns 1 (OK) or 2 (Cancel).
    virtual int runAutoShutdown() = 0;
    // Takes the quit path (stop the player and the timer, close the log, end the
    // window) and makes exitStatus the process's exit status.
    virtual void quit(int exitStatus) = 0;
};

} // namespace zephyrscope

#pragma once

#include "Clock.h"
#include "JsonLogLine.h"

#include <cstdint>
#include <string>

namespace zephyrscope {

class LogSink;
class Player;

// The JSON Lines log beside the statistics log: one object per sample tick, with
// every column and the figures the columns cannot hold, and one object per event
// of an entry (opened, first frame, stall start and end, variant switch, error,
// end), each with its wall-clock time to the millisecond.
//
// A stall is a Buffering after the entry has played; Buffering before that is
// its start-up. The first frame's time is the one the player took when the frame
// reached the video sink, so start-up is not rounded to the tick. A stall's
// events come when the play state changes, but carry when the picture stopped
// and moved again, as the player timed it from the frames shown; the picture
// may move again after the state says Playing, so a stall's end is written once
// the player has seen its first new frame (or the entry ends, or stalls again).
//
// Each call appends whole lines; a write that fails throws LogError, a player read
// PlayerError, as the statistics log does. UI thread only.
class JsonLog {
public:
    JsonLog(Clock& clock, Player& player, LogSink& log);

    // After the sampler has written its line for this tick.
    void tick(const SampleLine& sample);
    void playStateChanged(std::int32_t state);
    void mediaOpened();
    void mediaError(const std::string& url, const std::string& reason);
    // The run ends: an entry still playing is ended as stopped.
    void runEnded();

private:
    std::int64_t nowMs();
    void noteFirstFrame(const NetworkFigures& figures);
    // Writes the end of the last stall once its picture has moved again; forced:
    // the entry ends (at endMs) or stalls again, so it is written with what is known.
    void endStall(const NetworkFigures& figures, bool forced, std::int64_t endMs);
    // Whether the player timed the entry's current stall from its frames.
    bool stallTimed(const NetworkFigures& figures) const;
    void endEntry(const char* how, std::int64_t wallMs);
    void write(const JsonLogEvent& event);

    Clock& m_clock;
    Player& m_player;
    LogSink& m_log;

    bool m_entryActive = false;
    std::string m_entryUrl;
    std::int64_t m_entryStartMs = 0;
    bool m_firstFrameWritten = false;
    bool m_played = false;          // reached Playing since the entry began
    bool m_stalled = false;
    bool m_stallEndPending = false; // the state plays again, the stall's end is not yet written
    std::int64_t m_stallStartMs = 0; // when the state said Buffering
    std::int64_t m_stallOverMs = 0;  // ... and Playing again
    std::int64_t m_stallSinceMs = 0; // when the picture stopped
    std::int32_t m_stalls = 0;
    std::int32_t m_variantBandwidth = 0; // the adaptive variant at the last tick; 0 none yet

    std::string m_line; // reused from write to write
};

} // namespace zephyrscope

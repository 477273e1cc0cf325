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
// reached the video sink, so start-up is not rounded to the tick.
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
    void endStall(std::int64_t wallMs);
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
    std::int64_t m_stallStartMs = 0;
    std::int32_t m_stalls = 0;
    std::int32_t m_variantBandwidth = 0; // the adaptive variant at the last tick; 0 none yet

    std::string m_line; // reused from write to write
};

} // namespace zephyrscope

#pragma once

#include "Clock.h"
#include "JsonLogLine.h"
#include "OutageTracker.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace zephyrscope {

class LogSink;
class Player;

// The JSON Lines log beside the statistics log: one object per sample tick, with
// every column and the figures the columns cannot hold, and one object per event
// of an entry (opened, first frame, stall start and end, variant switch, error,
// end), each with its wall-clock time to the millisecond.
//
// Start-up and stalls are the player's own figures, the ones the metrics serve:
// the first frame's time is the one the player took when the frame reached the
// video sink, and start-up is the player's, from the entry's open requested to
// that frame (so it is not rounded to the tick). A stall is one the player's
// stall timing counted (Playing to Buffering, dated from the frames shown): it
// is written when the player has counted it, and its end once the player has
// seen its first new frame (or the entry ends, or the next stall begins).
//
// Each call appends whole lines; a write that fails throws LogError, a player read
// PlayerError, as the statistics log does. UI thread only.
class JsonLog {
public:
    JsonLog(Clock& clock, Player& player, LogSink& log);

    // After the sampler has written its line for this tick: the tick's line, and
    // the events its snapshot shows.
    void tick(const SampleLine& sample);
    void playStateChanged(std::int32_t state);
    void mediaOpened();
    void mediaError(const std::string& url, const std::string& reason);
    // The run ends: an entry still playing is ended as stopped.
    void runEnded();
    // A monitored channel's outage began, or ended (resumed: false when the run
    // ends during it, with its length up to then).
    void outageStarted(const Outage& outage);
    void outageEnded(const Outage& outage, bool resumed);

    // --name: written as "channel" in every line from now on.
    void setChannel(std::string channel) { m_channel = std::move(channel); }

private:
    std::int64_t nowMs();
    // The player's figures as an event finds them, between two ticks.
    const NetworkFigures& playerNow();
    void noteFirstFrame(const NetworkFigures& figures);
    // Writes what the player's stall figures say that is not written yet: a stall
    // begun, the picture of the open one moving again. nowMs: when it is seen.
    void followStalls(const NetworkFigures& figures, std::int64_t nowMs);
    // Writes the end of the open stall: at resumedMs when its picture moved
    // again, else at endMs with no resumption.
    void endStall(std::optional<std::int64_t> resumedMs, std::int64_t endMs);
    // Writes the content stretches (black, frozen, silent) the player found or
    // ended since the last look; entryEnds: the open ones end where they reached.
    void followContent(const NetworkFigures& figures, bool entryEnds = false);
    // Writes the splice commands the player heard since the last look.
    void followSplices(const NetworkFigures& figures);
    void endEntry(const char* how, std::int64_t wallMs);
    void write(const JsonLogEvent& event);

    Clock& m_clock;
    Player& m_player;
    LogSink& m_log;

    // The entry under way, and what of it is written; each entry starts afresh.
    struct Entry {
        bool active = false;
        std::string url;
        std::int64_t startMs = 0;
        bool firstFrameWritten = false;
        std::int32_t stallsWritten = 0; // stall_started lines of this entry
        bool stallOpen = false;         // the last of them has no stall_ended yet
        std::int64_t stallSinceMs = 0;  // when its picture stopped
        std::int32_t variantBandwidth = 0; // the adaptive variant at the last tick; 0 none yet
        std::size_t contentStarted = 0;    // content stretches whose start is written
        std::size_t splicesWritten = 0;    // splice commands written
    };
    Entry m_entry;
    std::vector<bool> m_contentEnded; // of each content stretch whose start is written, whether its end is

    std::string m_channel;
    std::string m_line; // reused from write to write
    NetworkFigures m_eventFigures; // reused from event to event
};

} // namespace zephyrscope

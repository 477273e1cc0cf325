#pragma once

#include "NetworkFigures.h"
#include "SampleLine.h"
#include "TsErrorCounts.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zephyrscope::report {

// One sample line of a statistics log, as parsed: the values the program
// formatted, and where the line stands in the file.
struct LogSample : SampleLine {
    int line = 0; // 1-based line number in the file

    // Wall-clock time in seconds. The log prints milliseconds without leading
    // zeros, so "S.5" is S + 0.005, not S + 0.5.
    double utc() const { return static_cast<double>(utcTime.seconds) + utcTime.milliseconds * 0.001; }
    // The JSON Lines log only: a transport stream's error counts so far in the entry.
    std::optional<TsErrorCounts> tsErrors;
    // The JSON Lines log only: the tick had a loudness, so the entry had sound to measure.
    bool audioMeasured = false;
    bool isPlaying() const { return std::string_view(stateName) == "Playing"; }
    bool isStalled() const
    {
        return std::string_view(stateName) == "Buffering" || std::string_view(stateName) == "Reconnecting";
    }
};

// The block the log holds for each opened clip.
struct LogMediaBlock {
    int line = 0; // line of the clip's name
    std::string name;
    std::string url;
    std::string durationString;
    double duration = 0.0;
    std::int32_t width = 0;
    std::int32_t height = 0;
    // Index in StatisticsLog::samples of the first sample written after the block.
    std::size_t firstSampleAfter = 0;
    // The JSON Lines log only: index of the first sample after the entry's "ended"
    // event. Samples from there to the next block are the next entry's, before
    // its media opened.
    std::optional<std::size_t> entryEndSample;
};

// A line that is neither part of a sample nor of a media block.
struct LogProblem {
    int line = 0;
    std::string message;
};

// An event of the JSON Lines log that the figures use, timed to the millisecond.
struct LogEvent {
    enum class Kind { FirstFrame, StallStarted, StallEnded, BlackEnded, FreezeEnded, SilenceEnded, DamageEnded };
    Kind kind = Kind::FirstFrame;
    double utc = 0.0;             // seconds since 1970
    std::int64_t durationMs = 0;  // first frame: start-up; stall, black, freeze, silence, damage ended: its length
    // Index in StatisticsLog::media of the clip opened last before it (0 before any).
    std::size_t clip = 0;
};

// A splice command of the JSON Lines log's splice events: where an ad break
// begins or ends.
struct LogSplice {
    double utc = 0.0;                // when it was heard, seconds since 1970
    std::optional<double> spliceUtc; // when it takes effect; none where unknown
    std::string command;             // "splice_insert", "time_signal", ...
    std::optional<std::uint32_t> eventId;
    std::optional<bool> outOfNetwork; // true: a break begins; false: it ends
    std::optional<std::int64_t> durationMs;
    std::string source; // "ts", "hls", "dash"
    std::size_t clip = 0;
};

// How an entry of the JSON Lines log ended (its "ended" event), and whether its
// picture had come: one session in the terms of docs/QOE.md.
struct LogEntryEnd {
    enum class How { Played, Stopped, Failed };
    How how = How::Played;
    std::string url;
    double utc = 0.0;
    bool pictureShown = false; // a first_frame event since the entry before ended
    // Index in StatisticsLog::media of its clip; none for an entry that ended
    // before its media opened.
    std::optional<std::size_t> clip;
};

// An outage of a --monitor run, from the JSON Lines log's outage_ended.
struct LogOutage {
    double utc = 0.0;            // when it ended, seconds since 1970
    std::int64_t durationMs = 0;
    bool resumed = true;         // false: the run ended during it
};

// A whole statistics log, in file order.
struct StatisticsLog {
    bool headerValid = false;
    bool fromJsonLog = false; // events hold start-up and stalls to the millisecond
    std::vector<LogSample> samples;
    std::vector<LogMediaBlock> media;
    std::vector<LogProblem> problems;
    std::vector<LogEvent> events;
    std::vector<LogEntryEnd> entryEnds; // the JSON Lines log only
    std::vector<LogSplice> splices;     // the JSON Lines log only
    // A --monitor run's outages (JSON Lines log only); whether it said it was one.
    std::vector<LogOutage> outages;
    bool monitored = false;
};

} // namespace zephyrscope::report

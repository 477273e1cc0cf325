#pragma once

#include "NetworkFigures.h"
#include "SampleLine.h"
#include "SpliceCommand.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace zephyrscope {

// The version every object of the JSON Lines log carries in its "schema" field.
// Raise it when a field changes meaning or goes; a new field keeps it.
inline constexpr char kJsonLogSchema[] = "zephyrscope.jsonlog/1";

// One tick of the JSON Lines log: the TSV's eighteen columns by their header
// names, numbers as numbers, and the figures the TSV has no column for.
// Absent figures (no wall clock in the stream, not SRT) are null, never 0.
// channel: --name's value, written as "channel" after "type"; empty for none.
void FormatJsonTick(const SampleLine& sample, std::string& out, std::string_view channel = {});

enum class JsonLogEventKind {
    Opened,
    FirstFrame,
    StallStarted,
    StallEnded,
    VariantSwitched,
    Error,
    Ended,
    BlackStarted,
    BlackEnded,
    FreezeStarted,
    FreezeEnded,
    SilenceStarted,
    SilenceEnded,
    OutageStarted,
    OutageEnded,
    Splice,
    DamageStarted,
    DamageEnded,
};

// The "event" field's value for a kind ("opened", "first_frame", ...).
const char* JsonLogEventName(JsonLogEventKind kind);
// The kind an "event" field's value names, for a reader of the log; none for a
// name this version does not write.
std::optional<JsonLogEventKind> JsonLogEventKindNamed(std::string_view name);

// One event of the JSON Lines log. Which optional fields apply depends on the kind.
struct JsonLogEvent {
    JsonLogEventKind kind = JsonLogEventKind::Opened;
    std::int64_t wallMs = 0; // when it happened: milliseconds since 1970 UTC
    std::string url;         // opened, error, ended; written with any password masked
    std::string name;        // opened
    std::optional<double> durationS;                  // opened: the clip's length, null for live
    std::string durationString;                       // opened: "MM:SS" as the player gives it
    std::optional<std::int32_t> width, height;        // opened, variant_switched: the picture
    std::optional<std::int64_t> startupMs;            // first_frame: since the entry began
    std::optional<std::int64_t> stallMs;              // stall_ended: how long the picture stood still
    std::optional<std::int64_t> sinceMs;              // stall_*: when the picture stopped, ms since 1970
    std::optional<std::int64_t> resumedMs;            // stall_ended: when it moved again; null if it never did
    std::optional<std::int32_t> stallCount;           // stall_started: how many this entry
    std::optional<std::int32_t> fromBandwidth, toBandwidth; // variant_switched, bit/s
    // black_*, freeze_*, silence_*, damage_*: started: how long it had lasted when found;
    // ended: its whole length (ms). ended: since_wall_ms is when it began.
    std::optional<std::int64_t> durationMs;
    std::string reason;      // error, outage_*: why the channel went down
    std::string how;         // ended: "played", "stopped", "failed"
    std::optional<std::int64_t> outageMs;             // outage_ended: how long the channel was down
    std::optional<bool> resumed;                      // outage_ended: false when the run ended during it
    // splice: the command as heard; duration_ms is its break's length.
    std::optional<SpliceCommand> splice;
};

void FormatJsonEvent(const JsonLogEvent& event, std::string& out, std::string_view channel = {});

// A JSON string literal, quotes included, of UTF-8 text.
void AppendJsonString(std::string& out, std::string_view text);

} // namespace zephyrscope

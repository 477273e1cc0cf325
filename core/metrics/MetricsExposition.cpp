#include "MetricsExposition.h"

#include "RedactedUrl.h"

#include "FigureTable.h"
#include "MetricsFigures.h"
#include "PlayState.h"
#include "Protocol.h"
#include "ProgramUsage.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <vector>

namespace zephyrscope {

namespace {

constexpr double kMsPerSecond = 1000.0;
constexpr std::int32_t kPlayStateCount = kPlayStateReconnecting + 1;

void appendNumber(std::string& out, double value)
{
    if (std::isnan(value)) {
        out += "NaN";
        return;
    }
    if (std::isinf(value)) {
        out += value > 0 ? "+Inf" : "-Inf";
        return;
    }
    // Shortest fixed notation that reads back the same: "300000", not "3e+05".
    // Room for the largest double: 309 digits, sign, point and decimals.
    char buffer[330];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed);
    out.append(buffer, result.ptr);
}

void appendNumber(std::string& out, std::uint64_t value)
{
    char buffer[24];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
    out.append(buffer, result.ptr);
}

void appendFamily(std::string& out, const char* name, const char* type, const char* help)
{
    out += "# HELP ";
    out += name;
    out += ' ';
    out += help;
    out += "\n# TYPE ";
    out += name;
    out += ' ';
    out += type;
    out += '\n';
}

// One series of a family: "name{labels} value".
template <typename Value>
void appendSample(std::string& out, std::string_view name, std::string_view labels, Value value)
{
    out += name;
    out += labels;
    out += ' ';
    appendNumber(out, value);
    out += '\n';
}

// One family of one series: HELP, TYPE and "name{labels} value".
template <typename Value>
void appendSeries(std::string& out, const char* name, const char* type, const char* help, std::string_view labels,
                  Value value)
{
    appendFamily(out, name, type, help);
    appendSample(out, name, labels, value);
}

// labels with a label of a series' own put last: "{url=\"x\",error=\"y\"}", or
// "{error=\"y\"}" where labels are empty.
std::string withLabel(std::string_view labels, std::string_view label)
{
    const std::string_view open = labels.empty() ? "{" : labels.substr(0, labels.size() - 1);
    return std::string(open) + (labels.empty() ? "" : ",") + std::string(label) + "}";
}

// labels with the channel's label put first: "{channel=\"x\",url=...}", or
// "{channel=\"x\"}" for a series that had none. Without a channel, as given.
std::string withChannel(const MetricsFigures& f, std::string_view labels)
{
    if (f.channel.empty())
        return std::string(labels);
    std::string out = "{channel=\"" + EscapeLabelValue(f.channel) + "\"";
    if (labels.size() > 2) {
        out += ',';
        out += labels.substr(1);
    } else {
        out += '}';
    }
    return out;
}

std::string_view versionNumber()
{
    const std::string_view version(kProgramVersion);
    return version.substr(version.rfind(' ') + 1);
}

// One family, a series per kind of error, each labelled with the entry's labels and its kind.
void appendTransportErrors(std::string& out, const std::string& labels, const TsErrorCounts& errors)
{
    constexpr const char* kName = "zephyrscope_ts_errors_total";
    appendFamily(out, kName, "counter", "First- and second-priority MPEG-TS errors in this entry, by kind.");
    for (const TsErrorKind& kind : kTsErrorKinds)
        appendSample(out, kName, withLabel(labels, "error=\"" + std::string(kind.name) + "\""), errors.*kind.count);
}

// The entry's splice commands by command, the sections that could not be
// read, and whether an ad break is on; none until splices are looked for.
void appendSplices(std::string& out, const std::string& labels, const SpliceFigures& splices)
{
    if (!splices.watched)
        return;
    constexpr const char* kName = "zephyrscope_splices_total";
    appendFamily(out, kName, "counter", "SCTE-35 splice commands heard in this entry, by command.");
    for (std::size_t k = 0; k < kSpliceCommandTypes; ++k) {
        const std::string command = SpliceCommandName(static_cast<SpliceCommandType>(k));
        appendSample(out, kName, withLabel(labels, "command=\"" + command + "\""), splices.counts[k]);
    }
    appendSeries(out, "zephyrscope_splice_errors_total", "counter",
                 "SCTE-35 sections in this entry that could not be read: truncated, oversized or a wrong CRC.", labels,
                 splices.errors);
    appendSeries(out, "zephyrscope_ad_break", "gauge", "1 while an SCTE-35 ad break is on, else 0.", labels,
                 double(splices.adBreak ? 1 : 0));
}

// The figure table's rows that have a metric, in the order they are served.
std::vector<const Figure*> metricRows()
{
    std::vector<const Figure*> rows;
    for (const Figure& figure : allFigures())
        if (figure.metricType != MetricType::None)
            rows.push_back(&figure);
    std::stable_sort(rows.begin(), rows.end(),
                     [](const Figure* a, const Figure* b) { return a->metricOrder < b->metricOrder; });
    return rows;
}

// The entry's session in the terms of CTA-2066 and its score (docs/QOE.md).
void appendSessionSeries(std::string& out, const std::string& labels, const SessionTally& session)
{
    appendSeries(out, "zephyrscope_rebuffering_seconds", "gauge",
                 "Rebuffering Duration: time stalled in this entry after its first picture.", labels,
                 session.stalledSeconds());
    appendSeries(out, "zephyrscope_rebuffering_ratio", "gauge",
                 "Rebuffering Ratio: time stalled over time played and stalled in this entry.", labels,
                 session.rebufferingRatio());
    if (const std::optional<double> bitRate = session.averageBitRate())
        appendSeries(out, "zephyrscope_average_bitrate_bytes_per_second", "gauge",
                     "Average Bitrate: the mean rate played in this entry (a variant's declared one), / 8.", labels,
                     *bitRate / 8.0);
    appendSeries(out, "zephyrscope_qoe_score", "gauge",
                 "The entry's QoE score so far, 0 to 100 (docs/QOE.md); 0 before its first picture.", labels,
                 ScoreSession(session.inputs()).score);
}

void appendEntrySeries(std::string& out, const MetricsFigures& f)
{
    const SampleLine& s = f.sample;
    // A named channel is what the entry's series are told apart by: a URL in a
    // label would make a fleet's series as many as its URLs (and their tokens).
    // Without a name, the URL tells one probe's entries apart, as it always has.
    const std::string protocolLabel = "protocol=\"" + EscapeLabelValue(columnOf(s.network.protocol)) + "\"}";
    const std::string labels = f.channel.empty()
        ? "{url=\"" + EscapeLabelValue(UrlWithoutUserInfo(f.entryUrl)) + "\"," + protocolLabel
        : withChannel(f, "{" + protocolLabel);
    const std::string plain = withChannel(f, "");

    static const std::vector<const Figure*> rows = metricRows();
    bool transportErrorsDone = !s.network.transportStream;
    const char* family = nullptr; // the family whose HELP and TYPE were written last
    for (const Figure* figure : rows) {
        if (!transportErrorsDone && figure->metricOrder > kTsErrorsMetricOrder) {
            appendTransportErrors(out, labels, s.network.transportErrors);
            transportErrorsDone = true;
            family = nullptr;
        }
        // A figure not known (not measured yet, or not of this protocol) has no
        // series: a 0 would read as a measured value.
        const std::optional<double> value = FigureValue(*figure, s);
        if (!value)
            continue;
        const bool counter = figure->metricType == MetricType::Counter;
        // Rows of one family (told apart by a label of their own) share its HELP and TYPE.
        if (!family || std::string_view(family) != figure->metricName)
            appendFamily(out, figure->metricName, counter ? "counter" : "gauge", figure->metricHelp);
        family = figure->metricName;
        out += figure->metricName;
        out += figure->metricLabel ? withLabel(labels, figure->metricLabel) : labels;
        out += ' ';
        if (counter && figure->type != FigureType::Decimal)
            // The player's counts are per entry and never negative; a negative one
            // would be a fault of the player, and a counter cannot show it.
            appendNumber(out, static_cast<std::uint64_t>(*value < 0 ? 0 : *value));
        else if (counter)
            appendNumber(out, (*value < 0 ? 0.0 : *value) / figure->metricDivisor);
        else
            appendNumber(out, *value / figure->metricDivisor);
        out += '\n';
    }
    if (!transportErrorsDone)
        appendTransportErrors(out, labels, s.network.transportErrors);
    appendSplices(out, labels, s.network.splices);

    appendSessionSeries(out, labels, f.session);

    appendFamily(out, "zephyrscope_player_state", "gauge", "1 for the player's current state, 0 for the others.");
    for (std::int32_t state = 0; state < kPlayStateCount; ++state) {
        const std::string label = "state=\"" + std::string(PlayStateName(state)) + "\"";
        const bool current = state == s.network.playState;
        appendSample(out, "zephyrscope_player_state", withLabel(plain, label), std::uint64_t {current});
    }
    appendSeries(out, "zephyrscope_player_state_code", "gauge",
                 "The player's current state as a number (3 Playing, 6 Buffering, 10 Ready, ...).", plain,
                 double(s.network.playState));
    appendSeries(out, "zephyrscope_last_sample_timestamp_seconds", "gauge",
                 "When the last sample was taken, in seconds since 1970 UTC.", plain,
                 double(s.utcTime.seconds) + s.utcTime.milliseconds / kMsPerSecond);
}

} // namespace

void FormatMetricsExposition(const MetricsFigures& f, std::string& out)
{
    out.clear();
    const std::string plain = withChannel(f, "");
    appendSeries(out, "zephyrscope_build_info", "gauge", "The program's version, as a label; always 1.",
                 withChannel(f, "{version=\"" + EscapeLabelValue(versionNumber()) + "\"}"), double(1));
    appendSeries(out, "zephyrscope_samples_written_total", "counter", "Sample lines written to the log in this run.",
                 plain, f.samplesWritten);
    appendSeries(out, "zephyrscope_entries_opened_total", "counter", "Entries opened in this run.", plain,
                 f.entriesOpened);
    appendSeries(out, "zephyrscope_entries_failed_total", "counter", "Entries that could not be played in this run.",
                 plain, f.entriesFailed);
    appendSeries(out, "zephyrscope_video_start_failures_total", "counter",
                 "Entries that failed before their first picture in this run (CTA-2066 Video Start Failure).", plain,
                 f.outcomes.videoStartFailures());
    appendSeries(out, "zephyrscope_exits_before_video_start_total", "counter",
                 "Entries stopped or ended before their first picture in this run, not failures (CTA-2066 Exit "
                 "Before Video Start).",
                 plain, f.outcomes.exitsBeforeVideoStart());
    appendSeries(out, "zephyrscope_video_playback_failures_total", "counter",
                 "Entries that failed after their first picture in this run (CTA-2066 Video Playback Failure).",
                 plain, f.outcomes.videoPlaybackFailures());
    appendSeries(out, "zephyrscope_log_write_failures_total", "counter", "Writes to the log that failed in this run.",
                 plain, f.logWriteFailures);
    appendSeries(out, "zephyrscope_up", "gauge",
                 "1 while the channel plays (an entry has played and has not ended or failed since), else 0.", plain,
                 double(f.up ? 1 : 0));
    if (f.monitor) {
        appendSeries(out, "zephyrscope_outages_total", "counter",
                     "Outages in this run: gaps from an entry's end or failure until an entry plays again.", plain,
                     f.outages);
        appendSeries(out, "zephyrscope_outage_seconds_total", "counter",
                     "Time spent in outages in this run, the one going on included.", plain, f.outageSeconds);
    }
    if (f.hasSample)
        appendEntrySeries(out, f);
}

std::string EscapeLabelValue(std::string_view value)
{
    std::string escaped;
    escaped.reserve(value.size());
    for (const char c : value) {
        if (c == '\\')
            escaped += "\\\\";
        else if (c == '"')
            escaped += "\\\"";
        else if (c == '\n')
            escaped += "\\n";
        else
            escaped += c;
    }
    return escaped;
}

} // namespace zephyrscope

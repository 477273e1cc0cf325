#include "JsonReport.h"

#include "JsonLogLine.h"

#include <cmath>
#include <cstdio>

namespace zephyrscope::report {

namespace {

std::string number(double value)
{
    if (!std::isfinite(value))
        return "null";
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%.10g", value);
    return buffer;
}

std::string number(const std::optional<double>& value)
{
    return value ? number(*value) : "null";
}

class Object {
public:
    Object& field(const char* key, const std::string& json)
    {
        m_text += m_text.empty() ? "{" : ",";
        m_text += JsonString(key) + ":" + json;
        return *this;
    }
    std::string close() const { return m_text.empty() ? "{}" : m_text + "}"; }

private:
    std::string m_text;
};

// A JSON array of what `json` makes of each item.
template <typename Item, typename Json>
std::string array(const std::vector<Item>& list, Json json)
{
    std::string out = "[";
    for (const Item& item : list)
        out += (out.size() > 1 ? "," : "") + json(item);
    return out + "]";
}

std::string switches(const std::vector<VariantSwitch>& list)
{
    return array(list, [](const VariantSwitch& s) {
        return Object()
            .field("utc", number(s.utc))
            .field("from_bandwidth", std::to_string(s.fromBandwidth))
            .field("to_bandwidth", std::to_string(s.toBandwidth))
            .close();
    });
}

std::string optionalInt(const auto& value)
{
    return value ? std::to_string(*value) : std::string("null");
}

std::string spliceList(const std::vector<LogSplice>& list)
{
    return array(list, [](const LogSplice& s) {
        return Object()
            .field("utc", number(s.utc))
            .field("splice_utc", number(s.spliceUtc))
            .field("command", JsonString(s.command))
            .field("event_id", optionalInt(s.eventId))
            .field("out_of_network", !s.outOfNetwork ? "null" : *s.outOfNetwork ? "true" : "false")
            .field("duration_ms", optionalInt(s.durationMs))
            .field("source", JsonString(s.source))
            .field("clip", std::to_string(s.clip + 1))
            .close();
    });
}

std::string stallList(const std::vector<std::int64_t>& list)
{
    return array(list, [](std::int64_t ms) { return std::to_string(ms); });
}

std::string tsErrors(const TsErrorCounts& counts)
{
    Object o;
    // The second priority's kinds only where they were found, so that a report
    // on a stream without them reads as it always did.
    for (const TsErrorKind& kind : kTsErrorKinds)
        if (kind.priority == 1 || counts.*kind.count > 0)
            o.field(kind.name, std::to_string(counts.*kind.count));
    return o.close();
}

std::string tsErrorMarks(const std::vector<TsErrorMark>& marks)
{
    return array(marks, [](const TsErrorMark& m) {
        return Object().field("utc", number(m.utc)).field("added", tsErrors(m.added)).close();
    });
}

std::string latency(const std::optional<LatencyFigures>& l)
{
    if (!l)
        return "null";
    return Object()
        .field("samples", std::to_string(l->samples))
        .field("mean", number(l->mean))
        .field("p50", number(l->p50))
        .field("p95", number(l->p95))
        .field("max", number(l->max))
        .close();
}

// Keys as docs/QOE.md names them, after CTA-2066's metrics.
std::string session(const SessionMetrics& m)
{
    return Object()
        .field("sessions", std::to_string(m.sessions))
        .field("video_start_time_s", number(m.videoStartSeconds))
        .field("video_start_failures", std::to_string(m.videoStartFailures))
        .field("exits_before_video_start", std::to_string(m.exitsBeforeVideoStart))
        .field("video_playback_failures", std::to_string(m.playbackFailures))
        .field("rebuffering_count", std::to_string(m.rebufferingCount))
        .field("rebuffering_duration_s", number(m.rebufferingSeconds))
        .field("rebuffering_ratio", number(m.rebufferingRatio))
        .field("bitrate_switches_up", std::to_string(m.bitrateSwitchesUp))
        .field("bitrate_switches_down", std::to_string(m.bitrateSwitchesDown))
        .field("average_bitrate_bps", number(m.averageBitRate))
        .field("black_s", number(m.blackSeconds))
        .field("frozen_s", number(m.frozenSeconds))
        .field("silent_s", number(m.silentSeconds))
        .field("qoe_score", number(m.score.score))
        .close();
}

std::string qoeParts(const QoeScore& s)
{
    return Object()
        .field("stall_mos", number(s.stallMos))
        .field("start_mos", number(s.startMos))
        .field("picture", number(s.quality))
        .close();
}

std::string figures(const Figures& f, bool run)
{
    Object o;
    o
        .field("samples", std::to_string(f.samples))
        .field("playing_samples", std::to_string(f.playingSamples))
        .field("startup_s", number(f.startupSeconds))
        .field("first_frame_ms", optionalInt(f.firstFrameMs))
        .field("stall_ms", stallList(f.stallMs))
        .field("latency_ms", latency(f.latency))
        .field("playing_s", number(f.playingSeconds))
        .field("stalls", std::to_string(f.stalls))
        .field("stall_s", number(f.stallSeconds))
        .field("rebuffer_ratio", number(f.rebufferRatio))
        .field("bit_rate_mean", number(f.bitRateMean))
        .field("bit_rate_min", number(f.bitRateMin))
        .field("bit_rate_max", number(f.bitRateMax))
        .field("frame_rate_mean", number(f.frameRateMean))
        .field("iframerate_mean", number(f.iFramerateMean))
        .field("encoded_frame_rate", std::to_string(f.encodedFrameRate))
        .field("frames_skipped", std::to_string(f.framesSkipped))
        .field("received_packets", std::to_string(f.receivedPackets))
        .field("lost_packets", std::to_string(f.lostPackets))
        .field("packet_loss_percent", number(f.packetLossPercent))
        .field("quality_mean", number(f.qualityMean))
        .field("protocol", JsonString(f.protocol))
        .field("variant_switches", switches(f.switches))
        .field("ts_errors", f.tsErrors ? tsErrors(*f.tsErrors) : "null")
        .field("ts_error_marks", f.tsErrors ? tsErrorMarks(f.tsErrorMarks) : "null")
        // What the viewer got: each black, frozen and silent stretch's length.
        .field("black_ms", stallList(f.black.lengthsMs))
        .field("freeze_ms", stallList(f.frozen.lengthsMs))
        .field("silence_ms", stallList(f.silent.lengthsMs))
        .field("session", session(f.session));
    if (!run)
        o.field("qoe_parts", qoeParts(f.session.score));
    // The figure table's rows: the key says the figure and how it was summed up.
    for (const Figures::TableFigure& t : f.tableFigures)
        o.field((std::string(t.figure->jsonKey) + "_" + AggregationName(t.figure->aggregation)).c_str(),
                number(t.value));
    return o.close();
}

} // namespace

std::string JsonString(const std::string& text)
{
    std::string out;
    AppendJsonString(out, text);
    return out;
}

std::string FormatJsonReport(const RunSummary& summary, const std::string& logName)
{
    std::size_t index = 0;
    const std::string clips = array(summary.clips, [&index](const ClipSummary& c) {
        return Object()
            .field("index", std::to_string(++index))
            .field("name", JsonString(c.media.name))
            .field("url", JsonString(c.media.url))
            .field("duration_string", JsonString(c.media.durationString))
            .field("duration_s", number(c.media.duration))
            .field("width", std::to_string(c.media.width))
            .field("height", std::to_string(c.media.height))
            .field("log_line", std::to_string(c.media.line))
            .field("figures", figures(c.figures, false))
            .close();
    });
    const std::string problems = array(summary.problems, [](const LogProblem& p) {
        return Object().field("line", std::to_string(p.line)).field("message", JsonString(p.message)).close();
    });
    Object report;
    report.field("log", JsonString(logName))
        .field("header_valid", summary.headerValid ? "true" : "false")
        .field("run", figures(summary.run, true))
        .field("outages", summary.outages ? Object()
                                                .field("count", std::to_string(summary.outages->count))
                                                .field("seconds", number(summary.outages->seconds))
                                                .field("longest_ms", std::to_string(summary.outages->longestMs))
                                                .close()
                                          : std::string("null"));
    // Only where there are splices: a report on a log without reads as it always did.
    if (!summary.splices.empty())
        report.field("splices", spliceList(summary.splices));
    return report.field("clips", clips).field("malformed_lines", problems).close() + "\n";
}

} // namespace zephyrscope::report

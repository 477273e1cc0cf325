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

std::string switches(const std::vector<VariantSwitch>& list)
{
    std::string out = "[";
    for (std::size_t k = 0; k < list.size(); ++k) {
        if (k > 0)
            out += ",";
        out += Object()
                   .field("utc", number(list[k].utc))
                   .field("from_bandwidth", std::to_string(list[k].fromBandwidth))
                   .field("to_bandwidth", std::to_string(list[k].toBandwidth))
                   .close();
    }
    return out + "]";
}

std::string stallList(const std::vector<std::int64_t>& list)
{
    std::string out = "[";
    for (std::size_t k = 0; k < list.size(); ++k)
        out += (k > 0 ? "," : "") + std::to_string(list[k]);
    return out + "]";
}

std::string tsErrors(const TsErrorCounts& counts)
{
    Object o;
    for (const TsErrorKind& kind : kTsErrorKinds)
        o.field(kind.name, std::to_string(counts.*kind.count));
    return o.close();
}

std::string tsErrorMarks(const std::vector<TsErrorMark>& marks)
{
    std::string out = "[";
    for (std::size_t k = 0; k < marks.size(); ++k)
        out += (k > 0 ? "," : "") +
               Object().field("utc", number(marks[k].utc)).field("added", tsErrors(marks[k].added)).close();
    return out + "]";
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

std::string figures(const Figures& f)
{
    Object o;
    o
        .field("samples", std::to_string(f.samples))
        .field("playing_samples", std::to_string(f.playingSamples))
        .field("startup_s", number(f.startupSeconds))
        .field("first_frame_ms", f.firstFrameMs ? std::to_string(*f.firstFrameMs) : "null")
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
        .field("ts_error_marks", f.tsErrors ? tsErrorMarks(f.tsErrorMarks) : "null");
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
    std::string clips = "[";
    for (std::size_t k = 0; k < summary.clips.size(); ++k) {
        const ClipSummary& c = summary.clips[k];
        if (k > 0)
            clips += ",";
        clips += Object()
                     .field("index", std::to_string(k + 1))
                     .field("name", JsonString(c.media.name))
                     .field("url", JsonString(c.media.url))
                     .field("duration_string", JsonString(c.media.durationString))
                     .field("duration_s", number(c.media.duration))
                     .field("width", std::to_string(c.media.width))
                     .field("height", std::to_string(c.media.height))
                     .field("log_line", std::to_string(c.media.line))
                     .field("figures", figures(c.figures))
                     .close();
    }
    clips += "]";
    std::string problems = "[";
    for (std::size_t k = 0; k < summary.problems.size(); ++k) {
        if (k > 0)
            problems += ",";
        problems += Object()
                        .field("line", std::to_string(summary.problems[k].line))
                        .field("message", JsonString(summary.problems[k].message))
                        .close();
    }
    problems += "]";
    return Object()
               .field("log", JsonString(logName))
               .field("header_valid", summary.headerValid ? "true" : "false")
               .field("run", figures(summary.run))
               .field("outages", summary.outages ? Object()
                                                       .field("count", std::to_string(summary.outages->count))
                                                       .field("seconds", number(summary.outages->seconds))
                                                       .field("longest_ms", std::to_string(summary.outages->longestMs))
                                                       .close()
                                                 : std::string("null"))
               .field("clips", clips)
               .field("malformed_lines", problems)
               .close() +
           "\n";
}

} // namespace zephyrscope::report

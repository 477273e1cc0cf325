#include "JsonLogLine.h"

#include "FigureTable.h"
#include "Protocol.h"
#include "RedactedUrl.h"

#include <cstdio>
#include <ctime>
#include <iterator>
#include <span>

namespace zephyrscope {

namespace {

constexpr std::int64_t kMsPerSecond = 1000;

// ,"name": — every field but the first one of an object.
void appendKey(std::string& out, const char* name)
{
    out += ",\"";
    out += name;
    out += "\":";
}

template <typename T>
void appendOptionalInt(std::string& out, const char* name, const std::optional<T>& value)
{
    appendKey(out, name);
    if (value)
        AppendInt(out, static_cast<long long>(*value));
    else
        out += "null";
}

void appendOptionalFixed(std::string& out, const char* name, const std::optional<double>& value, int precision)
{
    appendKey(out, name);
    if (value)
        AppendFixed(out, *value, precision);
    else
        out += "null";
}

void appendStringField(std::string& out, const char* name, std::string_view value)
{
    appendKey(out, name);
    AppendJsonString(out, value);
}

// ,"key":value of one row of the figure table; the tick's protocol decides for
// a figure only some protocols have.
void appendFigure(std::string& out, const Figure& figure, const SampleLine& s)
{
    if (figure.type == FigureType::Text) {
        appendStringField(out, figure.jsonKey, figure.text.get(s));
        return;
    }
    const std::optional<double> value = FigureValue(figure, s);
    appendKey(out, figure.jsonKey);
    if (!value)
        out += "null";
    else if (figure.type == FigureType::Integer)
        AppendInt(out, static_cast<long long>(*value));
    else
        AppendFixed(out, *value, figure.decimals);
}

void beginObject(std::string& out, const char* type, std::string_view channel)
{
    out.clear();
    out += "{\"schema\":\"";
    out += kJsonLogSchema;
    out += "\",\"type\":\"";
    out += type;
    out += '"';
    if (!channel.empty()) {
        out += ",\"channel\":";
        AppendJsonString(out, channel);
    }
}

// "2026-12-08T14:56:31.123Z"
void appendIsoTime(std::string& out, std::int64_t wallMs)
{
    std::int64_t seconds = wallMs / kMsPerSecond;
    std::int64_t ms = wallMs % kMsPerSecond;
    if (ms < 0) {
        ms += kMsPerSecond;
        --seconds;
    }
    const std::time_t t = static_cast<std::time_t>(seconds);
    std::tm utc {};
    gmtime_r(&t, &utc);
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", utc.tm_year + 1900, utc.tm_mon + 1,
                  utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec, static_cast<int>(ms));
    out += buffer;
}

// Length of the valid UTF-8 sequence at text[i], or 0.
std::size_t utf8Length(std::string_view text, std::size_t i)
{
    const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
    const unsigned char c = byte(i);
    const std::size_t n = c >= 0xF0 && c <= 0xF4 ? 4 : c >= 0xE0 ? 3 : c >= 0xC2 && c <= 0xDF ? 2 : 0;
    if (n == 0 || i + n > text.size())
        return 0;
    for (std::size_t k = 1; k < n; ++k)
        if ((byte(i + k) & 0xC0) != 0x80)
            return 0;
    if ((c == 0xE0 && byte(i + 1) < 0xA0) || (c == 0xF0 && byte(i + 1) < 0x90) || (c == 0xF4 && byte(i + 1) > 0x8F)
        || (c == 0xED && byte(i + 1) > 0x9F))
        return 0; // overlong, beyond U+10FFFF, or a surrogate
    return n;
}

// The fields of a splice event; null where the command does not say.
void appendSplice(std::string& out, const SpliceCommand& c)
{
    appendOptionalInt(out, "event_id", c.eventId);
    appendStringField(out, "command", SpliceCommandName(c.command));
    appendKey(out, "out_of_network");
    out += !c.outOfNetwork ? "null" : *c.outOfNetwork ? "true" : "false";
    appendOptionalInt(out, "duration_ms", c.durationMs);
    appendOptionalInt(out, "splice_wall_ms", c.spliceWallMs);
    appendOptionalInt(out, "preroll_ms", c.prerollMs);
    appendStringField(out, "source", SpliceSourceName(c.source));
}

} // namespace

void AppendJsonString(std::string& out, std::string_view text)
{
    static constexpr char kHex[] = "0123456789abcdef";
    const auto escapeByte = [&out](unsigned char byte) {
        out += "\\u00";
        out += kHex[byte >> 4];
        out += kHex[byte & 0xf];
    };
    out += '"';
    for (std::size_t i = 0; i < text.size();) {
        const auto byte = static_cast<unsigned char>(text[i]);
        if (byte == '"' || byte == '\\') {
            out += '\\';
            out += text[i];
        } else if (byte == '\n') {
            out += "\\n";
        } else if (byte == '\t') {
            out += "\\t";
        } else if (byte == '\r') {
            out += "\\r";
        } else if (byte < 0x20 || byte == 0x7f) {
            escapeByte(byte);
        } else if (byte >= 0x80) {
            // Valid UTF-8 goes as it is; a stray byte (a file name in another
            // encoding) as the Latin-1 character it would be, so the line stays JSON.
            if (const std::size_t n = utf8Length(text, i); n > 0) {
                out += text.substr(i, n);
                i += n;
                continue;
            }
            escapeByte(byte);
        } else {
            out += text[i];
        }
        ++i;
    }
    out += '"';
}

void FormatJsonTick(const SampleLine& s, std::string& out, std::string_view channel)
{
    beginObject(out, "tick", channel);
    const std::span<const Figure> figures = allFigures();
    const NetworkFigures& f = s.network;
    for (const Figure& figure : figures)
        if (figure.jsonKey && !figure.jsonGroup)
            appendFigure(out, figure, s);
    // Null until a transport stream went through a demuxer in this entry: no
    // errors counted is not the same as none found.
    appendKey(out, "ts_errors");
    if (f.transportStream) {
        char separator = '{';
        for (const TsErrorKind& kind : kTsErrorKinds) {
            out += separator;
            separator = ',';
            AppendJsonString(out, kind.name);
            out += ':';
            AppendInt(out, static_cast<long long>(f.transportErrors.*kind.count));
        }
        out += '}';
    } else {
        out += "null";
    }
    // A group's figures make one object, null where the protocol has none of them.
    for (auto row = figures.begin(); row != figures.end();) {
        if (!row->jsonKey || !row->jsonGroup) {
            ++row;
            continue;
        }
        const std::string_view group = row->jsonGroup;
        auto end = row;
        bool known = false;
        for (; end != figures.end() && end->jsonGroup && group == end->jsonGroup; ++end)
            known = known || FigureValue(*end, s);
        appendKey(out, row->jsonGroup);
        if (!known) {
            out += "null";
        } else {
            const std::size_t first = out.size();
            for (; row != end; ++row)
                appendFigure(out, *row, s);
            out[first] = '{'; // the first member's comma
            out += '}';
        }
        row = end;
    }
    // Null until splices are looked for in the entry (a transport stream, or a
    // section heard): sections that could not be read, and whether a break is on.
    const SpliceFigures& splices = f.splices;
    appendOptionalInt(out, "splice_errors", splices.watched ? std::optional(splices.errors) : std::nullopt);
    appendKey(out, "ad_break");
    out += !splices.watched ? "null" : splices.adBreak ? "true" : "false";
    out += "}\n";
}

// Each kind's name, in the enumeration's order.
constexpr const char* kEventNames[] = {
    "opened",       "first_frame",     "stall_started", "stall_ended",    "variant_switched",
    "error",        "ended",           "black_started", "black_ended",    "freeze_started",
    "freeze_ended", "silence_started", "silence_ended", "outage_started", "outage_ended",
    "splice",         "damage_started",  "damage_ended",
};
static_assert(std::size(kEventNames) == static_cast<std::size_t>(JsonLogEventKind::DamageEnded) + 1);

const char* JsonLogEventName(JsonLogEventKind kind)
{
    const auto index = static_cast<std::size_t>(kind);
    return index < std::size(kEventNames) ? kEventNames[index] : "unknown";
}

std::optional<JsonLogEventKind> JsonLogEventKindNamed(std::string_view name)
{
    for (std::size_t k = 0; k < std::size(kEventNames); ++k)
        if (name == kEventNames[k])
            return static_cast<JsonLogEventKind>(k);
    return std::nullopt;
}

void FormatJsonEvent(const JsonLogEvent& e, std::string& out, std::string_view channel)
{
    beginObject(out, "event", channel);
    appendStringField(out, "event", JsonLogEventName(e.kind));
    appendKey(out, "wall_ms");
    AppendInt(out, e.wallMs);
    appendKey(out, "time");
    out += '"';
    appendIsoTime(out, e.wallMs);
    out += '"';
    switch (e.kind) {
    case JsonLogEventKind::Opened:
        appendStringField(out, "url", RedactedText(e.url));
        appendStringField(out, "name", e.name);
        appendOptionalFixed(out, "duration_s", e.durationS, 3);
        appendStringField(out, "duration_string", e.durationString);
        appendOptionalInt(out, "width", e.width);
        appendOptionalInt(out, "height", e.height);
        break;
    case JsonLogEventKind::FirstFrame:
        appendOptionalInt(out, "startup_ms", e.startupMs);
        break;
    case JsonLogEventKind::StallStarted:
        appendOptionalInt(out, "stall_count", e.stallCount);
        appendOptionalInt(out, "since_wall_ms", e.sinceMs);
        break;
    case JsonLogEventKind::StallEnded:
        appendOptionalInt(out, "stall_ms", e.stallMs);
        appendOptionalInt(out, "since_wall_ms", e.sinceMs);
        appendOptionalInt(out, "resumed_wall_ms", e.resumedMs);
        break;
    case JsonLogEventKind::VariantSwitched:
        appendOptionalInt(out, "from_bandwidth", e.fromBandwidth);
        appendOptionalInt(out, "to_bandwidth", e.toBandwidth);
        appendOptionalInt(out, "width", e.width);
        appendOptionalInt(out, "height", e.height);
        break;
    case JsonLogEventKind::Error:
        appendStringField(out, "url", RedactedText(e.url));
        appendStringField(out, "reason", RedactedText(e.reason));
        break;
    case JsonLogEventKind::Ended:
        appendStringField(out, "url", RedactedText(e.url));
        appendStringField(out, "how", e.how);
        break;
    case JsonLogEventKind::BlackStarted:
    case JsonLogEventKind::FreezeStarted:
    case JsonLogEventKind::SilenceStarted:
    case JsonLogEventKind::DamageStarted:
        appendOptionalInt(out, "duration_ms", e.durationMs);
        break;
    case JsonLogEventKind::BlackEnded:
    case JsonLogEventKind::FreezeEnded:
    case JsonLogEventKind::SilenceEnded:
    case JsonLogEventKind::DamageEnded:
        appendOptionalInt(out, "duration_ms", e.durationMs);
        appendOptionalInt(out, "since_wall_ms", e.sinceMs);
        break;
    case JsonLogEventKind::OutageStarted:
        appendStringField(out, "reason", RedactedText(e.reason));
        break;
    case JsonLogEventKind::OutageEnded:
        appendStringField(out, "reason", RedactedText(e.reason));
        appendOptionalInt(out, "duration_ms", e.outageMs);
        appendOptionalInt(out, "since_wall_ms", e.sinceMs);
        appendKey(out, "resumed");
        out += e.resumed.value_or(true) ? "true" : "false";
        break;
    case JsonLogEventKind::Splice:
        if (e.splice)
            appendSplice(out, *e.splice);
        break;
    }
    out += "}\n";
}

} // namespace zephyrscope

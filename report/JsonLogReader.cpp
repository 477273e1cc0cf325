#include "JsonLogReader.h"

#include "FigureByKey.h"
#include "FigureTable.h"
#include "JsonLogLine.h"
#include "LogReader.h"

#include <QByteArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonValue>

#include <algorithm>
#include <optional>

namespace zephyrscope::report {

namespace {

constexpr double kMsPerSecond = 1000.0;

template <typename Number = std::int64_t>
Number numberOf(const QJsonObject& o, const char* key)
{
    return static_cast<Number>(o.value(QLatin1String(key)).toDouble());
}

// What is wrong with the tick, or null when it was read whole. The figure
// table says which keys a tick holds; a column's is in every tick, a figure
// beyond the columns is left unknown where it is null.
const char* readTick(const QJsonObject& o, LogSample& s)
{
    for (const Figure& figure : allFigures())
        if (figure.column && figure.value.set && !o.value(QLatin1String(figure.jsonKey)).isDouble())
            return "a tick without every column";
    for (const Figure& figure : allFigures()) {
        if (!figure.jsonKey)
            continue;
        QJsonValue value = o.value(QLatin1String(figure.jsonGroup ? figure.jsonGroup : figure.jsonKey));
        if (figure.jsonGroup)
            value = value.toObject().value(QLatin1String(figure.jsonKey));
        if (figure.type == FigureType::Text && figure.text.set)
            figure.text.set(s, value.toString().toStdString());
        else if (figure.value.set && value.isDouble())
            figure.value.set(s, value.toDouble());
    }
    if (const QJsonValue errors = o.value(QLatin1String("ts_errors")); errors.isObject()) {
        TsErrorCounts counts;
        for (const TsErrorKind& kind : kTsErrorKinds) {
            const QJsonValue count = errors.toObject().value(QLatin1String(kind.name));
            // Logs written before the second priority was counted have the first's alone.
            if (kind.priority == 2 && count.isUndefined())
                continue;
            if (!count.isDouble() || count.toDouble() < 0)
                return "a tick whose ts_errors are not six counts";
            counts.*kind.count = static_cast<std::uint64_t>(count.toDouble());
        }
        s.tsErrors = counts;
    }
    // The momentary loudness comes with the first 400 ms of sound.
    static const Figure& momentaryLoudness = FigureByKey("loudness_momentary_lufs");
    s.audioMeasured = o.value(QLatin1String(momentaryLoudness.jsonKey)).isDouble();
    return nullptr;
}

// The entry now going on: whether its picture came, and whether its media opened.
struct Entry {
    bool pictureShown = false;
    bool opened = false;
};

LogMediaBlock openedBlock(const QJsonObject& o, int lineNumber, std::size_t firstSampleAfter)
{
    LogMediaBlock block;
    block.line = lineNumber;
    block.name = o.value(QLatin1String("name")).toString().toStdString();
    block.url = o.value(QLatin1String("url")).toString().toStdString();
    block.duration = o.value(QLatin1String("duration_s")).toDouble(0.0);
    block.durationString = o.value(QLatin1String("duration_string")).toString().toStdString();
    block.width = numberOf<std::int32_t>(o, "width");
    block.height = numberOf<std::int32_t>(o, "height");
    block.firstSampleAfter = firstSampleAfter;
    return block;
}

LogEvent stallEnded(const QJsonObject& o, double utc, std::size_t clip)
{
    const std::int64_t stallMs = numberOf(o, "stall_ms");
    // The stall as the picture saw it ends stall_ms after it stopped; a log
    // without that time has only the play state's.
    const QJsonValue since = o.value(QLatin1String("since_wall_ms"));
    const double end = since.isDouble() ? (since.toDouble() + static_cast<double>(stallMs)) / kMsPerSecond : utc;
    return {LogEvent::Kind::StallEnded, end, stallMs, clip};
}

LogSplice spliceOf(const QJsonObject& o, double utc, std::size_t clip)
{
    LogSplice splice;
    splice.utc = utc;
    if (const QJsonValue at = o.value(QLatin1String("splice_wall_ms")); at.isDouble())
        splice.spliceUtc = at.toDouble() / kMsPerSecond;
    splice.command = o.value(QLatin1String("command")).toString().toStdString();
    if (const QJsonValue id = o.value(QLatin1String("event_id")); id.isDouble() && id.toDouble() >= 0)
        splice.eventId = static_cast<std::uint32_t>(id.toDouble());
    if (const QJsonValue out = o.value(QLatin1String("out_of_network")); out.isBool())
        splice.outOfNetwork = out.toBool();
    if (const QJsonValue duration = o.value(QLatin1String("duration_ms")); duration.isDouble())
        splice.durationMs = static_cast<std::int64_t>(duration.toDouble());
    splice.source = o.value(QLatin1String("source")).toString().toStdString();
    splice.clip = clip;
    return splice;
}

// The entry's "ended": how it ended, and whether its media had opened.
void endEntry(StatisticsLog& log, const QJsonObject& o, double utc, std::size_t clip, Entry& entry)
{
    if (!log.media.empty() && !log.media.back().entryEndSample)
        log.media.back().entryEndSample = log.samples.size();
    LogEntryEnd end;
    const QString how = o.value(QLatin1String("how")).toString();
    end.how = how == QLatin1String("failed")    ? LogEntryEnd::How::Failed
              : how == QLatin1String("stopped") ? LogEntryEnd::How::Stopped
                                                : LogEntryEnd::How::Played;
    end.url = o.value(QLatin1String("url")).toString().toStdString();
    end.utc = utc;
    end.pictureShown = entry.pictureShown;
    if (entry.opened)
        end.clip = clip;
    log.entryEnds.push_back(std::move(end));
    entry = {};
}

void readEvent(StatisticsLog& log, const QJsonObject& o, int lineNumber, Entry& entry)
{
    // An event this version does not write is passed over.
    const auto kind = JsonLogEventKindNamed(o.value(QLatin1String("event")).toString().toStdString());
    if (!kind)
        return;
    const double utc = o.value(QLatin1String("wall_ms")).toDouble() / kMsPerSecond;
    const std::size_t clip = log.media.empty() ? 0 : log.media.size() - 1;
    switch (*kind) {
    case JsonLogEventKind::Opened:
        log.media.push_back(openedBlock(o, lineNumber, log.samples.size()));
        entry.opened = true;
        break;
    case JsonLogEventKind::FirstFrame:
        entry.pictureShown = true;
        log.events.push_back({LogEvent::Kind::FirstFrame, utc, numberOf(o, "startup_ms"), clip});
        break;
    case JsonLogEventKind::StallStarted:
        log.events.push_back({LogEvent::Kind::StallStarted, utc, 0, clip});
        break;
    case JsonLogEventKind::StallEnded:
        log.events.push_back(stallEnded(o, utc, clip));
        break;
    case JsonLogEventKind::OutageStarted:
        log.monitored = true;
        break;
    case JsonLogEventKind::OutageEnded:
        log.monitored = true;
        log.outages.push_back({utc, numberOf(o, "duration_ms"), o.value(QLatin1String("resumed")).toBool(true)});
        break;
    case JsonLogEventKind::Ended:
        endEntry(log, o, utc, clip, entry);
        break;
    // The end of a stretch of black, frozen, silent or damaged content carries its length.
    case JsonLogEventKind::BlackEnded:
    case JsonLogEventKind::FreezeEnded:
    case JsonLogEventKind::SilenceEnded:
    case JsonLogEventKind::DamageEnded:
        log.events.push_back({*kind == JsonLogEventKind::BlackEnded    ? LogEvent::Kind::BlackEnded
                              : *kind == JsonLogEventKind::FreezeEnded ? LogEvent::Kind::FreezeEnded
                              : *kind == JsonLogEventKind::SilenceEnded ? LogEvent::Kind::SilenceEnded
                                                                        : LogEvent::Kind::DamageEnded,
                              utc, numberOf(o, "duration_ms"), clip});
        break;
    case JsonLogEventKind::Splice:
        log.splices.push_back(spliceOf(o, utc, clip));
        break;
    // Seen in the ticks too; a stretch's end carries its whole length.
    case JsonLogEventKind::VariantSwitched:
    case JsonLogEventKind::Error:
    case JsonLogEventKind::BlackStarted:
    case JsonLogEventKind::FreezeStarted:
    case JsonLogEventKind::SilenceStarted:
    case JsonLogEventKind::DamageStarted:
        break;
    }
}

// One line: a tick, an event, or a problem.
void readLine(StatisticsLog& log, std::string_view line, int lineNumber, Entry& entry)
{
    auto problem = [&](const std::string& message) { log.problems.push_back({lineNumber, message}); };
    QJsonParseError error {};
    const QJsonDocument document =
        QJsonDocument::fromJson(QByteArray(line.data(), static_cast<qsizetype>(line.size())), &error);
    if (!document.isObject()) {
        problem("not a JSON object: " + error.errorString().toStdString());
        return;
    }
    const QJsonObject o = document.object();
    if (o.value(QLatin1String("schema")).toString() != QLatin1String(kJsonLogSchema)) {
        problem("schema '" + o.value(QLatin1String("schema")).toString().toStdString() + "' is not "
                + kJsonLogSchema);
        return;
    }
    const QString type = o.value(QLatin1String("type")).toString();
    if (type == QLatin1String("tick")) {
        LogSample s;
        s.line = lineNumber;
        if (const char* wrong = readTick(o, s); !wrong)
            log.samples.push_back(std::move(s));
        else
            problem(wrong);
    } else if (type == QLatin1String("event")) {
        readEvent(log, o, lineNumber, entry);
    } else {
        problem("neither a tick nor an event");
    }
}

} // namespace

bool JsonLogReader::looksLikeJsonLog(std::string_view text)
{
    const std::size_t first = text.find_first_not_of(" \t\r\n");
    return first != std::string_view::npos && text[first] == '{';
}

StatisticsLog JsonLogReader::fromText(std::string_view text)
{
    StatisticsLog log;
    log.fromJsonLog = true;
    log.headerValid = true; // a JSON Lines log has no header line
    int lineNumber = 0;
    std::size_t start = 0;
    Entry entry;
    while (start < text.size()) {
        const std::size_t end = std::min(text.find('\n', start), text.size());
        const std::string_view line = text.substr(start, end - start);
        start = end + 1;
        ++lineNumber;
        if (line.find_first_not_of(" \t\r") != std::string_view::npos)
            readLine(log, line, lineNumber, entry);
    }
    return log;
}

StatisticsLog JsonLogReader::fromAnyFile(const std::string& path)
{
    const std::string text = LogReader::readText(path);
    return looksLikeJsonLog(text) ? fromText(text) : LogReader::fromText(text);
}

} // namespace zephyrscope::report

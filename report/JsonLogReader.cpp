#include "JsonLogReader.h"

#include "FigureTable.h"
#include "JsonLogLine.h"
#include "LogReader.h"

#include <QByteArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonValue>

#include <optional>


namespace zephyrscope::report {

namespace {

constexpr double kMsPerSecond = 1000.0;

std::int32_t intOf(const QJsonObject& o, const char* key)
{
    return static_cast<std::int32_t>(o.value(QLatin1String(key)).toDouble());
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
            if (!count.isDouble() || count.toDouble() < 0)
                return "a tick whose ts_errors are not six counts";
            counts.*kind.count = static_cast<std::uint64_t>(count.toDouble());
        }
        s.tsErrors = counts;
    }
    s.audioMeasured = o.value(QLatin1String("loudness_momentary_lufs")).isDouble();
    return nullptr;
}

// The end of a stretch of black, frozen or silent content, which carries its length.
std::optional<LogEvent::Kind> contentEnd(const QString& event)
{
    if (event == QLatin1String("black_ended"))
        return LogEvent::Kind::BlackEnded;
    if (event == QLatin1String("freeze_ended"))
        return LogEvent::Kind::FreezeEnded;
    if (event == QLatin1String("silence_ended"))
        return LogEvent::Kind::SilenceEnded;
    return std::nullopt;
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
    // The entry now going on: whether its picture came, and whether its media opened.
    bool pictureShown = false;
    bool opened = false;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string_view::npos)
            end = text.size();
        const std::string_view line = text.substr(start, end - start);
        start = end + 1;
        ++lineNumber;
        if (line.find_first_not_of(" \t\r") == std::string_view::npos)
            continue;
        auto problem = [&](const std::string& message) { log.problems.push_back({lineNumber, message}); };
        QJsonParseError error {};
        const QJsonDocument document =
            QJsonDocument::fromJson(QByteArray(line.data(), static_cast<qsizetype>(line.size())), &error);
        if (!document.isObject()) {
            problem("not a JSON object: " + error.errorString().toStdString());
            continue;
        }
        const QJsonObject o = document.object();
        if (o.value(QLatin1String("schema")).toString() != QLatin1String(kJsonLogSchema)) {
            problem("schema '" + o.value(QLatin1String("schema")).toString().toStdString() + "' is not "
                    + kJsonLogSchema);
            continue;
        }
        const QString type = o.value(QLatin1String("type")).toString();
        if (type == QLatin1String("tick")) {
            LogSample s;
            s.line = lineNumber;
            if (const char* wrong = readTick(o, s); !wrong)
                log.samples.push_back(std::move(s));
            else
                problem(wrong);
            continue;
        }
        if (type != QLatin1String("event")) {
            problem("neither a tick nor an event");
            continue;
        }
        const QString event = o.value(QLatin1String("event")).toString();
        const double utc = o.value(QLatin1String("wall_ms")).toDouble() / kMsPerSecond;
        const std::size_t clip = log.media.empty() ? 0 : log.media.size() - 1;
        if (event == QLatin1String("opened")) {
            LogMediaBlock block;
            block.line = lineNumber;
            block.name = o.value(QLatin1String("name")).toString().toStdString();
            block.url = o.value(QLatin1String("url")).toString().toStdString();
            block.duration = o.value(QLatin1String("duration_s")).toDouble(0.0);
            block.durationString = o.value(QLatin1String("duration_string")).toString().toStdString();
            block.width = intOf(o, "width");
            block.height = intOf(o, "height");
            block.firstSampleAfter = log.samples.size();
            log.media.push_back(std::move(block));
            opened = true;
        } else if (event == QLatin1String("first_frame")) {
            pictureShown = true;
            log.events.push_back({LogEvent::Kind::FirstFrame, utc,
                                  static_cast<std::int64_t>(o.value(QLatin1String("startup_ms")).toDouble()), clip});
        } else if (event == QLatin1String("stall_started")) {
            log.events.push_back({LogEvent::Kind::StallStarted, utc, 0, clip});
        } else if (event == QLatin1String("stall_ended")) {
            const auto stallMs = static_cast<std::int64_t>(o.value(QLatin1String("stall_ms")).toDouble());
            // The stall as the picture saw it ends stall_ms after it stopped; a
            // log without that time has only the play state's.
            const QJsonValue since = o.value(QLatin1String("since_wall_ms"));
            const double end = since.isDouble() ? (since.toDouble() + static_cast<double>(stallMs)) / kMsPerSecond : utc;
            log.events.push_back({LogEvent::Kind::StallEnded, end, stallMs, clip});
        } else if (event == QLatin1String("black_ended") || event == QLatin1String("freeze_ended")
                   || event == QLatin1String("silence_ended")) {
            const auto kind = event == QLatin1String("black_ended")    ? LogEvent::Kind::BlackEnded
                              : event == QLatin1String("freeze_ended") ? LogEvent::Kind::FreezeEnded
                                                                       : LogEvent::Kind::SilenceEnded;
            log.events.push_back(
                {kind, utc, static_cast<std::int64_t>(o.value(QLatin1String("duration_ms")).toDouble()), clip});
        } else if (event == QLatin1String("outage_started")) {
            log.monitored = true;
        } else if (event == QLatin1String("outage_ended")) {
            log.monitored = true;
            log.outages.push_back({utc, static_cast<std::int64_t>(o.value(QLatin1String("duration_ms")).toDouble()),
                                   o.value(QLatin1String("resumed")).toBool(true)});
        } else if (event == QLatin1String("ended")) {
            if (!log.media.empty() && !log.media.back().entryEndSample)
                log.media.back().entryEndSample = log.samples.size();
            LogEntryEnd entry;
            const QString how = o.value(QLatin1String("how")).toString();
            entry.how = how == QLatin1String("failed")    ? LogEntryEnd::How::Failed
                        : how == QLatin1String("stopped") ? LogEntryEnd::How::Stopped
                                                          : LogEntryEnd::How::Played;
            entry.url = o.value(QLatin1String("url")).toString().toStdString();
            entry.utc = utc;
            entry.pictureShown = pictureShown;
            if (opened)
                entry.clip = clip;
            log.entryEnds.push_back(std::move(entry));
            pictureShown = opened = false;
        } else if (const auto content = contentEnd(event)) {
            log.events.push_back({*content, utc,
                                  static_cast<std::int64_t>(o.value(QLatin1String("duration_ms")).toDouble()), clip});
        }
        // Other events (variant switched, error) are seen in the ticks too.
    }
    return log;
}

StatisticsLog JsonLogReader::fromAnyFile(const std::string& path)
{
    const std::string text = LogReader::readText(path);
    return looksLikeJsonLog(text) ? fromText(text) : LogReader::fromText(text);
}

} // namespace zephyrscope::report

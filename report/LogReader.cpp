#include "LogReader.h"

#include "FigureByKey.h"
#include "PlayState.h"
#include "Protocol.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <fstream>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <system_error>
#include <type_traits>
#include <cstring>
#include <cerrno>

namespace zephyrscope::report {

namespace {

// Far beyond a sample line or a media block's name or URL line.
constexpr std::size_t kMaxLineBytes = 1024 * 1024;

// The header without its line feed.
constexpr std::string_view kHeader(kLogHeader, sizeof kLogHeader - 2);

std::vector<std::string_view> split(std::string_view text, char separator)
{
    std::vector<std::string_view> parts;
    std::size_t start = 0;
    while (true) {
        const std::size_t end = text.find(separator, start);
        if (end == std::string_view::npos) {
            parts.push_back(text.substr(start));
            return parts;
        }
        parts.push_back(text.substr(start, end - start));
        start = end + 1;
    }
}

// The column names, taken from the header the program writes: said once.
std::array<std::string_view, 18> columnsOf(std::string_view header)
{
    std::array<std::string_view, 18> columns {};
    std::copy_n(split(header, '\t').begin(), columns.size(), columns.begin());
    return columns;
}
const std::array<std::string_view, 18> kColumns = columnsOf(kHeader);

// Numbers are right-aligned with spaces in their columns; decimals are written fixed.
template <typename T>
bool parseNumber(std::string_view field, T& out)
{
    while (!field.empty() && field.front() == ' ')
        field.remove_prefix(1);
    if (field.empty())
        return false;
    const char* last = field.data() + field.size();
    std::from_chars_result result;
    if constexpr (std::is_floating_point_v<T>)
        result = std::from_chars(field.data(), last, out, std::chars_format::fixed);
    else
        result = std::from_chars(field.data(), last, out);
    return result.ec == std::errc() && result.ptr == last;
}

bool parseUtc(std::string_view field, std::int64_t& seconds, std::int32_t& milliseconds)
{
    const std::size_t point = field.find('.');
    if (point == std::string_view::npos || field.find(' ') != std::string_view::npos)
        return false;
    return parseNumber(field.substr(0, point), seconds) && parseNumber(field.substr(point + 1), milliseconds) &&
           milliseconds >= 0 && milliseconds <= 999;
}

// The state a name stands for; nullopt when the text names none. -1 stands
// for every value without a name of its own: "Unknown".
std::optional<std::int32_t> playStateNamed(std::string_view name)
{
    for (std::int32_t state = -1; state <= kPlayStateReconnecting; ++state)
        if (name == PlayStateName(state))
            return state;
    return std::nullopt;
}

// The figure table's row of each column, found by its header name: what the
// column holds and how it is set.
std::array<const Figure*, 18> rowsOf(const std::array<std::string_view, 18>& columns)
{
    std::array<const Figure*, 18> rows {};
    std::ranges::transform(columns, rows.begin(), [](std::string_view column) { return &FigureByKey(column); });
    return rows;
}

// Sets a column's value from its field through the column's row; what the field
// is not, or empty when it was read.
std::string setColumn(const Figure& row, std::string_view field, LogSample& s)
{
    switch (row.type) {
    case FigureType::Integer: {
        std::int32_t value = 0; // the log's integer columns are 32-bit
        if (!parseNumber(field, value))
            return "an integer";
        row.value.set(s, value);
        return {};
    }
    case FigureType::Decimal: {
        double value = 0.0;
        if (!parseNumber(field, value))
            return "a number";
        row.value.set(s, value);
        return {};
    }
    case FigureType::Text:
        row.text.set(s, field);
        // A text the row does not give back (a state no state is named) is not one of its values.
        return row.text.get(s) == field ? std::string() : "a " + std::string(row.name);
    }
    return {};
}

// Why a line with tabs is not a sample, or empty when it is one.
std::string sampleProblem(std::string_view line, LogSample* sample)
{
    static const std::array<const Figure*, 18> rows = rowsOf(kColumns);
    const auto f = split(line, '\t');
    if (f.size() != kColumns.size())
        return "has " + std::to_string(f.size()) + " fields, 18 expected";
    LogSample s;
    auto bad = [&](std::size_t i, const std::string& what) {
        return "field " + std::string(kColumns[i]) + " is not " + what + ": '" + std::string(f[i]) + "'";
    };
    // The time, written seconds.milliseconds with the milliseconds unpadded: no row reads that back.
    if (!parseUtc(f[0], s.utcTime.seconds, s.utcTime.milliseconds))
        return bad(0, "a time in seconds.milliseconds");
    for (std::size_t i = 1; i < f.size(); ++i)
        if (const std::string what = setColumn(*rows[i], f[i], s); !what.empty())
            return bad(i, what);
    s.network.playState = playStateNamed(s.stateName).value_or(-1);
    if (sample)
        *sample = std::move(s);
    return {};
}

// "Duration: 00:03 (3.00 secs)\tResulation: 320*240"
bool parseDurationLine(std::string_view line, LogMediaBlock& block)
{
    constexpr std::string_view kPrefix = "Duration: ";
    constexpr std::string_view kSecs = " secs)\tResulation: ";
    if (line.substr(0, kPrefix.size()) != kPrefix)
        return false;
    const std::size_t secs = line.rfind(kSecs);
    if (secs == std::string_view::npos)
        return false;
    const std::size_t open = line.rfind(" (", secs);
    if (open == std::string_view::npos || open < kPrefix.size())
        return false;
    std::string_view size = line.substr(secs + kSecs.size());
    const std::size_t star = size.find('*');
    if (star == std::string_view::npos)
        return false;
    LogMediaBlock b;
    b.durationString = std::string(line.substr(kPrefix.size(), open - kPrefix.size()));
    if (!parseNumber(line.substr(open + 2, secs - open - 2), b.duration) ||
        !parseNumber(size.substr(0, star), b.width) || !parseNumber(size.substr(star + 1), b.height))
        return false;
    block = std::move(b);
    return true;
}

} // namespace

std::optional<LogSample> LogReader::parseSample(std::string_view line)
{
    LogSample sample;
    if (!sampleProblem(line, &sample).empty())
        return std::nullopt;
    return sample;
}

StatisticsLog LogReader::fromText(std::string_view text)
{
    StatisticsLog log;
    auto lines = split(text, '\n');
    // Text that ends with a line feed leaves one empty piece behind; text that does
    // not was cut off in the middle of its last line.
    const bool lastComplete = lines.back().empty();
    if (lastComplete)
        lines.pop_back();
    const std::size_t count = lines.size();
    auto complete = [&](std::size_t i) { return i + 1 < count || lastComplete; };

    if (count == 0) {
        log.problems.push_back({1, "the log is empty: no header line"});
        return log;
    }
    log.headerValid = lines[0] == kHeader && complete(0);
    if (!log.headerValid)
        log.problems.push_back({1, "not the statistics log header"});

    // Without a header, a first line that is a sample is still read as one.
    const std::size_t first = !log.headerValid && complete(0) && parseSample(lines[0]) ? 0 : 1;
    for (std::size_t i = first; i < count;) {
        const int lineNumber = static_cast<int>(i) + 1;
        if (!complete(i)) {
            log.problems.push_back({lineNumber, "incomplete last line (no line feed): the log was cut off"});
            break;
        }
        LogSample sample;
        const std::string problem = sampleProblem(lines[i], &sample);
        if (problem.empty()) {
            sample.line = lineNumber;
            log.samples.push_back(std::move(sample));
            ++i;
            continue;
        }
        LogMediaBlock block;
        if (i + 2 < count && complete(i + 2) && parseDurationLine(lines[i + 2], block)) {
            block.line = lineNumber;
            block.name = std::string(lines[i]);
            block.url = std::string(lines[i + 1]);
            block.firstSampleAfter = log.samples.size();
            log.media.push_back(std::move(block));
            i += 3;
            continue;
        }
        log.problems.push_back({lineNumber, lines[i].find('\t') != std::string_view::npos
                                                ? "not a sample line: " + problem
                                                : "neither a sample line nor part of a media block"});
        ++i;
    }
    return log;
}

bool LogReader::isLog(const StatisticsLog& log)
{
    return log.headerValid || !log.samples.empty() || !log.media.empty();
}

StatisticsLog LogReader::fromFile(const std::string& path)
{
    bool cut = false;
    const std::string all = readText(path, &cut);
    if (!cut)
        return fromText(all);
    const int lineNumber = static_cast<int>(std::count(all.begin(), all.end(), '\n')) + 1;
    StatisticsLog log = fromText(all);
    // An empty text counts as an empty log; here the first line was simply too long.
    if (lineNumber == 1)
        log.problems.clear();
    log.problems.push_back({lineNumber, "longer than " + std::to_string(kMaxLineBytes / 1024)
                                            + " KiB: not a log line, the rest of the file was not read"});
    return log;
}

std::string LogReader::readText(const std::string& path, bool* cutAtLongLine)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        throw std::runtime_error("Cannot open log file '" + path + "': " + std::strerror(errno));
    // Read in blocks so that a line without end (a device, a binary file) stops
    // the reading at kMaxLineBytes instead of taking all memory.
    std::string all;
    std::size_t lineStart = 0;
    std::vector<char> block(64 * 1024);
    bool lineTooLong = false;
    while (in) {
        in.read(block.data(), static_cast<std::streamsize>(block.size()));
        const std::size_t got = static_cast<std::size_t>(in.gcount());
        if (got == 0)
            break;
        const std::size_t before = all.size();
        all.append(block.data(), got);
        if (const std::size_t feed = all.rfind('\n'); feed != std::string::npos && feed >= before)
            lineStart = feed + 1;
        if (all.size() - lineStart > kMaxLineBytes) {
            lineTooLong = true;
            break;
        }
    }
    if (in.bad())
        throw std::runtime_error("Cannot read log file '" + path + "': " + std::strerror(errno));
    if (lineTooLong)
        all.resize(lineStart);
    if (cutAtLongLine)
        *cutAtLongLine = lineTooLong;
    return all;
}

} // namespace zephyrscope::report

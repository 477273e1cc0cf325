#include "LogReader.h"

#include "PlayState.h"

#include <array>
#include <charconv>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <system_error>
#include <cstring>
#include <cerrno>

namespace zephyrscope::report {

namespace {

// The header without its line feed.
constexpr std::string_view kHeader(kLogHeader, sizeof kLogHeader - 2);

constexpr std::array<std::string_view, 18> kColumns = {
    "UTCTime",    "Time",          "Buf_Progress", "BufCount",     "BufTime",  "Bit_Rate",
    "BandWidth",  "Max_BandW",     "Frame_Rate",   "Rncode_Fr",    "Fr_Skipped", "Received_Pkts",
    "Lost_Pkts",  "Recover_Pkts",  "Quality",      "Protocol",     "IFramerate", "PlayerState"};


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

// Integers are right-aligned with spaces in their columns.
template <typename T>
bool parseInteger(std::string_view field, T& out)
{
    while (!field.empty() && field.front() == ' ')
        field.remove_prefix(1);
    if (field.empty())
        return false;
    const auto [end, ec] = std::from_chars(field.data(), field.data() + field.size(), out);
    return ec == std::errc() && end == field.data() + field.size();
}

bool parseDecimal(std::string_view field, double& out)
{
    while (!field.empty() && field.front() == ' ')
        field.remove_prefix(1);
    if (field.empty())
        return false;
    const auto [end, ec] = std::from_chars(field.data(), field.data() + field.size(), out, std::chars_format::fixed);
    return ec == std::errc() && end == field.data() + field.size();
}

bool parseUtc(std::string_view field, std::int64_t& seconds, std::int32_t& milliseconds)
{
    const std::size_t point = field.find('.');
    if (point == std::string_view::npos || field.find(' ') != std::string_view::npos)
        return false;
    return parseInteger(field.substr(0, point), seconds) && parseInteger(field.substr(point + 1), milliseconds) &&
           milliseconds >= 0 && milliseconds <= 999;
}

// The program's own name of a state, or nullptr when the text names none.
const char* stateName(std::string_view name)
{
    // -1 stands for every value without a name of its own: "Unknown".
    for (std::int32_t state = -1; state <= kPlayStateReconnecting; ++state)
        if (name == PlayStateName(state))
            return PlayStateName(state);
    return nullptr;
}

// Why a line with tabs is not a sample, or empty when it is one.
std::string sampleProblem(std::string_view line, LogSample* sample)
{
    const auto f = split(line, '\t');
    if (f.size() != kColumns.size())
        return "has " + std::to_string(f.size()) + " fields, 18 expected";
    LogSample s;
    auto bad = [&](std::size_t i, const char* what) {
        return "field " + std::string(kColumns[i]) + " is not " + what + ": '" + std::string(f[i]) + "'";
    };
    if (!parseUtc(f[0], s.utcTime.seconds, s.utcTime.milliseconds))
        return bad(0, "a time in seconds.milliseconds");
    if (!parseDecimal(f[1], s.elapsed))
        return bad(1, "a number");
    std::int32_t* integers[] = {&s.bufferingProgress, &s.bufferingCount, &s.bufferingTime, &s.bitRate, &s.bandWidth,
                                &s.maxBandwidth};
    for (std::size_t i = 0; i < 6; ++i)
        if (!parseInteger(f[2 + i], *integers[i]))
            return bad(2 + i, "an integer");
    if (!parseDecimal(f[8], s.fps))
        return bad(8, "a number");
    std::int32_t* more[] = {&s.encodedFrameRate, &s.framesSkipped, &s.receivedPackets, &s.lostPackets,
                            &s.recoveredPackets, &s.receptionQuality};
    for (std::size_t i = 0; i < 6; ++i)
        if (!parseInteger(f[9 + i], *more[i]))
            return bad(9 + i, "an integer");
    s.protocol = std::string(f[15]);
    if (!parseDecimal(f[16], s.iFramerate))
        return bad(16, "a number");
    s.stateName = stateName(f[17]);
    if (!s.stateName)
        return bad(17, "a player state");
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
    if (!parseDecimal(line.substr(open + 2, secs - open - 2), b.duration) ||
        !parseInteger(size.substr(0, star), b.width) || !parseInteger(size.substr(star + 1), b.height))
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

StatisticsLog LogReader::fromFile(const std::string& path)
{
    return fromText(readText(path));
}

std::string LogReader::readText(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        throw std::runtime_error("Cannot open log file '" + path + "': " + std::strerror(errno));
    std::ostringstream all;
    all << in.rdbuf();
    if (in.bad())
        throw std::runtime_error("Cannot read log file '" + path + "': " + std::strerror(errno));
    return all.str();
}

} // namespace zephyrscope::report

#include "HlsSpliceTags.h"

#include "AdaptiveManifest.h"

#include <cmath>
#include <cstdlib>
#include <sstream>

namespace zephyrscope {

namespace {

constexpr std::size_t kMaxKeyChars = 200; // a malformed tag is named by its start
constexpr double kMaxDurationS = 24 * 3600.0;

// A duration in seconds ("30", "29.97"), in ms; nothing for anything else.
std::optional<std::int64_t> durationMsOf(const std::string& text)
{
    if (text.empty())
        return std::nullopt;
    char* end = nullptr;
    const double seconds = std::strtod(text.c_str(), &end);
    if (end != text.c_str() + text.size() || !(seconds >= 0.0) || seconds > kMaxDurationS)
        return std::nullopt;
    return static_cast<std::int64_t>(std::llround(seconds * 1000.0));
}

std::optional<std::int64_t> dateMsOf(const std::string& text)
{
    const auto us = AdaptiveManifest::parseDateTime(text);
    if (!us)
        return std::nullopt;
    return *us / 1000;
}

void malformed(ManifestSplices& out, const std::string& line)
{
    out.malformed.push_back(line.substr(0, kMaxKeyChars));
}

// One SCTE35-OUT, -IN or -CMD attribute of a DATERANGE.
void dateRangeSection(const std::string& line, const std::string& attributes, const char* name, ManifestSplices& out)
{
    const std::string hex = AdaptiveManifest::hlsAttribute(attributes, name);
    if (hex.empty())
        return;
    const std::string id = AdaptiveManifest::hlsAttribute(attributes, "ID");
    const auto start = dateMsOf(AdaptiveManifest::hlsAttribute(attributes, "START-DATE"));
    const auto section = ManifestSplice::fromHex(hex);
    auto duration = durationMsOf(AdaptiveManifest::hlsAttribute(attributes, "DURATION"));
    if (!duration)
        duration = durationMsOf(AdaptiveManifest::hlsAttribute(attributes, "PLANNED-DURATION"));
    if (id.empty() || !start || !section) {
        malformed(out, line);
        return;
    }
    ManifestSplice splice;
    splice.id = "daterange:" + id + "/" + name;
    splice.command.source = SpliceSource::Hls;
    splice.command.command = SpliceCommandType::SpliceInsert;
    splice.section = std::move(*section);
    const bool in = std::string(name) == "SCTE35-IN";
    splice.command.spliceWallMs = *start;
    if (in) {
        // Back in at the range's end, where it gives one.
        splice.command.outOfNetwork = false;
        if (const auto end = dateMsOf(AdaptiveManifest::hlsAttribute(attributes, "END-DATE")))
            splice.command.spliceWallMs = *end;
        else if (duration)
            splice.command.spliceWallMs = *start + *duration;
    } else {
        splice.command.durationMs = duration;
        if (std::string(name) == "SCTE35-OUT")
            splice.command.outOfNetwork = true;
    }
    out.splices.push_back(std::move(splice));
}

// A cue tag before the segment at sequence, dated dateMs (when known).
void cue(const std::string& line, std::int64_t sequence, std::optional<std::int64_t> dateMs, ManifestSplices& out)
{
    ManifestSplice splice;
    splice.id = "cue:" + std::to_string(sequence) + "@" + (dateMs ? std::to_string(*dateMs) : "-") + ":" + line;
    splice.command.source = SpliceSource::Hls;
    splice.command.command = SpliceCommandType::SpliceInsert;
    splice.command.spliceWallMs = dateMs;
    if (line.starts_with("#EXT-X-SCTE35:")) {
        const std::string attributes = line.substr(14);
        const auto section = ManifestSplice::fromBase64(AdaptiveManifest::hlsAttribute(attributes, "CUE"));
        if (!section) {
            malformed(out, line);
            return;
        }
        if (const std::string id = AdaptiveManifest::hlsAttribute(attributes, "ID"); !id.empty())
            splice.id = "scte35:" + id;
        splice.section = std::move(*section);
    } else if (line.starts_with("#EXT-X-CUE-IN")) {
        splice.command.outOfNetwork = false;
    } else {
        // "#EXT-X-CUE-OUT", ":30" or ":DURATION=30".
        splice.command.outOfNetwork = true;
        if (line.size() > 14) {
            std::string value = line.substr(line[14] == ':' ? 15 : 14);
            if (value.find('=') != std::string::npos)
                value = AdaptiveManifest::hlsAttribute(value, "DURATION");
            splice.command.durationMs = durationMsOf(value);
            if (line[14] != ':' || !splice.command.durationMs) {
                malformed(out, line);
                return;
            }
        }
    }
    out.splices.push_back(std::move(splice));
}

} // namespace

ManifestSplices HlsSpliceTags::parse(const std::string& playlist)
{
    ManifestSplices out;
    std::istringstream lines(playlist);
    std::string line;
    std::int64_t sequence = 0;
    std::optional<std::int64_t> dateMs; // of the next segment
    std::int64_t segmentMs = -1; // the next segment's EXTINF; -1 before one
    std::vector<std::string> cues; // before the next segment
    while (std::getline(lines, line)) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (line.starts_with("#EXT-X-MEDIA-SEQUENCE:")) {
            sequence = std::atoll(line.c_str() + 22);
        } else if (line.starts_with("#EXT-X-PROGRAM-DATE-TIME:")) {
            dateMs = dateMsOf(line.substr(25));
        } else if (line.starts_with("#EXTINF:")) {
            const std::size_t comma = line.find(',');
            segmentMs = durationMsOf(line.substr(8, comma == std::string::npos ? comma : comma - 8)).value_or(-1);
        } else if (line.starts_with("#EXT-X-DATERANGE:")) {
            for (const char* name : {"SCTE35-OUT", "SCTE35-CMD", "SCTE35-IN"})
                dateRangeSection(line, line.substr(17), name, out);
        } else if (line.starts_with("#EXT-X-CUE-OUT-CONT")) {
            continue;
        } else if (line.starts_with("#EXT-X-CUE-OUT") || line.starts_with("#EXT-X-CUE-IN")
                   || line.starts_with("#EXT-X-SCTE35:")) {
            cues.push_back(line);
        } else if (!line.empty() && line[0] != '#') {
            for (const std::string& c : cues)
                cue(c, sequence, dateMs, out);
            cues.clear();
            ++sequence;
            if (dateMs && segmentMs >= 0)
                *dateMs += segmentMs;
            else
                dateMs.reset();
            segmentMs = -1;
        }
    }
    for (const std::string& c : cues)
        cue(c, sequence, dateMs, out);
    return out;
}

} // namespace zephyrscope

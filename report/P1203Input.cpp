#include "P1203Input.h"

#include "JsonReport.h"
#include "Protocol.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <vector>

namespace zephyrscope::report {

namespace {

// A segment closes after this much media time, or where the variant or picture changes.
constexpr double kSegmentSeconds = 1.0;
constexpr double kBitsPerKilobit = 1000.0;
// The log does not say the codec; mode 0 of the standard is defined for H.264.
constexpr char kCodec[] = "h264";
// Nor the viewer's screen: a PC's full-HD one.
constexpr char kDevice[] = "pc";
constexpr char kDisplaySize[] = "1920x1080";

std::string number(double value)
{
    char buffer[48];
    std::snprintf(buffer, sizeof buffer, "%.6g", std::isfinite(value) ? value : 0.0);
    return buffer;
}

struct Segment {
    double start = 0.0, duration = 0.0, bitSeconds = 0.0;
    double fps = 0.0;
    std::int32_t width = 0, height = 0;
    double bitRate = 0.0; // what the segment was opened with: a change closes it
};

} // namespace

std::string FormatP1203Input(const StatisticsLog& log, const RunSummary& summary, std::size_t clip)
{
    const ClipSummary& c = summary.clips.at(clip);
    const std::vector<double> durations = SampleDurations(log.samples);
    std::vector<Segment> segments;
    // Media time: the time played so far. Each tick in Playing stands for its duration.
    double mediaTime = 0.0;
    // Media time at each sample's start, and how much a sample in Playing adds, for placing the stalls.
    struct MediaMark {
        double utc, media, played;
    };
    std::vector<MediaMark> mediaAt;
    for (std::size_t i = c.firstSample; i < c.endSample; ++i) {
        const LogSample& s = log.samples[i];
        mediaAt.push_back({s.utc(), mediaTime, s.isPlaying() ? durations[i] : 0.0});
        if (!s.isPlaying())
            continue;
        const bool adaptive = isAdaptive(s.network.protocol);
        const double bitRate = adaptive && s.network.bandWidth > 0 ? s.network.bandWidth : s.network.bitRate;
        const std::int32_t width = s.network.videoWidth > 0 ? s.network.videoWidth : c.media.width;
        const std::int32_t height = s.network.videoHeight > 0 ? s.network.videoHeight : c.media.height;
        const double fps = s.network.encodedFrameRate > 0 ? s.network.encodedFrameRate : s.fps;
        const bool changed = !segments.empty()
            && (segments.back().width != width || segments.back().height != height
                || (adaptive && segments.back().bitRate != bitRate));
        if (segments.empty() || changed || segments.back().duration >= kSegmentSeconds - 1e-9)
            segments.push_back({.start = mediaTime, .fps = fps, .width = width, .height = height, .bitRate = bitRate});
        Segment& seg = segments.back();
        seg.duration += durations[i];
        seg.bitSeconds += bitRate * durations[i];
        mediaTime += durations[i];
    }
    // Within a sample in Playing the media time runs with the wall clock.
    const auto mediaTimeAt = [&mediaAt](double utc) {
        double t = 0.0;
        for (const MediaMark& mark : mediaAt)
            if (mark.utc <= utc)
                t = mark.media + std::min(utc - mark.utc, mark.played);
        return t;
    };

    std::string video;
    for (const Segment& seg : segments) {
        video += video.empty() ? "" : ",";
        video += "{\"bitrate\":" + number(seg.bitSeconds / seg.duration / kBitsPerKilobit) + ",\"codec\":\"" + kCodec
            + "\",\"duration\":" + number(seg.duration) + ",\"fps\":" + number(seg.fps) + ",\"res\":\""
            + std::to_string(seg.width) + "x" + std::to_string(seg.height) + "\",\"start\":" + number(seg.start) + "}";
    }
    std::string stalls;
    const SessionMetrics& m = c.figures.session;
    if (m.videoStartSeconds)
        stalls += "[0," + number(*m.videoStartSeconds) + "]";
    for (const Period& p : c.figures.stallPeriods)
        stalls += (stalls.empty() ? "[" : ",[") + number(mediaTimeAt(p.begin)) + "," + number(p.end - p.begin) + "]";
    const std::string streamId = std::to_string(clip + 1);
    // No "I11": the log does not say the audio's codec or bit rate.
    return "{\"I13\":{\"segments\":[" + video + "],\"streamId\":" + streamId + "},"
        + "\"I23\":{\"stalling\":[" + stalls + "],\"streamId\":" + streamId + "},"
        + "\"IGen\":{\"device\":\"" + kDevice + "\",\"displaySize\":\"" + kDisplaySize + "\"}}\n";
}

std::string P1203InputPath(const std::string& path, std::size_t clip, std::size_t clips)
{
    if (clips <= 1)
        return path;
    const std::size_t slash = path.find_last_of('/');
    std::size_t dot = path.find_last_of('.');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash) || dot == slash + 1)
        dot = path.size();
    return path.substr(0, dot) + "-" + std::to_string(clip + 1) + path.substr(dot);
}

} // namespace zephyrscope::report

#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace zephyrscope::report {

// One sample line of a statistics log, as parsed.
struct LogSample {
    int line = 0; // 1-based line number in the file
    std::int64_t utcSeconds = 0;
    std::int32_t utcMilliseconds = 0;
    double time = 0.0;
    std::int32_t bufferingProgress = 0;
    std::int32_t bufferingCount = 0;
    std::int32_t bufferingTime = 0;
    std::int32_t bitRate = 0;
    std::int32_t bandWidth = 0;
    std::int32_t maxBandwidth = 0;
    double frameRate = 0.0;
    std::int32_t encodedFrameRate = 0;
    std::int32_t framesSkipped = 0;
    std::int32_t receivedPackets = 0;
    std::int32_t lostPackets = 0;
    std::int32_t recoveredPackets = 0;
    std::int32_t quality = 0;
    std::string protocol;
    double iFramerate = 0.0;
    std::string state;

    // Wall-clock time in seconds. The log prints milliseconds without leading
    // zeros, so "S.5" is S + 0.005, not S + 0.5.
    double utc() const { return static_cast<double>(utcSeconds) + utcMilliseconds * 0.001; }
    bool isPlaying() const { return state == "Playing"; }
    bool isStalled() const { return state == "Buffering" || state == "Reconnecting"; }
};

// The block the log holds for each opened clip.
struct LogMediaBlock {
    int line = 0; // line of the clip's name
    std::string name;
    std::string url;
    std::string durationString;
    double duration = 0.0;
    std::int32_t width = 0;
    std::int32_t height = 0;
    // Index in StatisticsLog::samples of the first sample written after the block.
    std::size_t firstSampleAfter = 0;
};

// A line that is neither part of a sample nor of a media block.
struct LogProblem {
    int line = 0;
    std::string message;
};

// A whole statistics log, in file order.
struct StatisticsLog {
    bool headerValid = false;
    std::vector<LogSample> samples;
    std::vector<LogMediaBlock> media;
    std::vector<LogProblem> problems;
};

} // namespace zephyrscope::report

#include "StartupAndStalls.h"

namespace zephyrscope::report {

namespace {

constexpr double kMsPerSecond = 1000.0;

} // namespace

StartupAndStalls StartupAndStalls::ofTicks(const std::vector<LogSample>& samples,
                                           const std::vector<double>& durations, std::size_t begin, std::size_t end)
{
    StartupAndStalls f;
    bool inStall = false;
    for (std::size_t i = begin; i < end; ++i) {
        const LogSample& s = samples[i];
        if (s.isPlaying()) {
            if (!f.startupSeconds)
                f.startupSeconds = s.utc() - samples[begin].utc();
            inStall = false;
            ++f.playingSamples;
            f.playingSeconds += durations[i];
        } else if (f.startupSeconds && s.isStalled()) {
            if (!inStall) {
                ++f.stalls;
                f.stallPeriods.push_back({s.utc(), s.utc()});
            }
            inStall = true;
            f.stallSeconds += durations[i];
            f.stallPeriods.back().end = s.utc() + durations[i];
        } else {
            inStall = false;
        }
    }
    f.updateRebufferRatio();
    return f;
}

void StartupAndStalls::timeByEvents(const std::vector<LogEvent>& events, std::optional<std::size_t> clip)
{
    clearStalls();
    bool firstFrameSeen = false;
    for (const LogEvent& e : events) {
        if (clip && e.clip != *clip)
            continue;
        if (e.kind == LogEvent::Kind::FirstFrame && !firstFrameSeen) {
            firstFrameSeen = true;
            firstFrameMs = e.durationMs;
            startupSeconds = static_cast<double>(e.durationMs) / kMsPerSecond;
        } else if (e.kind == LogEvent::Kind::StallEnded) {
            const double seconds = static_cast<double>(e.durationMs) / kMsPerSecond;
            stallMs.push_back(e.durationMs);
            ++stalls;
            stallSeconds += seconds;
            stallPeriods.push_back({e.utc - seconds, e.utc});
        }
    }
    updateRebufferRatio();
}

void StartupAndStalls::sumUpClips(const std::vector<const StartupAndStalls*>& clips)
{
    clearStalls();
    if (!clips.empty() && clips.front()->firstFrameMs) {
        firstFrameMs = clips.front()->firstFrameMs;
        startupSeconds = static_cast<double>(*firstFrameMs) / kMsPerSecond;
    }
    for (const StartupAndStalls* clip : clips) {
        stallMs.insert(stallMs.end(), clip->stallMs.begin(), clip->stallMs.end());
        stallPeriods.insert(stallPeriods.end(), clip->stallPeriods.begin(), clip->stallPeriods.end());
        stalls += clip->stalls;
        stallSeconds += clip->stallSeconds;
    }
    updateRebufferRatio();
}

void StartupAndStalls::clearStalls()
{
    stalls = 0;
    stallSeconds = 0.0;
    stallPeriods.clear();
    stallMs.clear();
}

void StartupAndStalls::updateRebufferRatio()
{
    rebufferRatio = playingSeconds + stallSeconds > 0 ? stallSeconds / (playingSeconds + stallSeconds) : 0.0;
}

} // namespace zephyrscope::report

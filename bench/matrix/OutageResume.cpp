#include "OutageResume.h"

#include <algorithm>
#include <cstdio>

namespace zephyrscope::bench {

namespace {

// The player times a stall by its frames' times; its reads of them and the
// frames' mean spacing at the sender, a few ms over a stall.
constexpr double kStallToleranceMs = 20.0;

} // namespace

OutageResume::Frames OutageResume::fromLog(const std::vector<tools::impair::FrameDamageBound::Frame>& log,
                                           std::int64_t frameCycle)
{
    Frames f;
    const auto cut = std::find_if(log.begin(), log.end(), [](const auto& frame) { return frame.hit; });
    if (cut == log.begin() || cut == log.end() || log.size() < 2)
        return f;
    const auto next = std::find_if(cut, log.end(), [](const auto& frame) { return !frame.hit; });
    if (next == log.end())
        return f;
    // Frames count from the key frame sent before them, whole or not: the sender numbered them so.
    const auto sinceKey = [&](auto frame) -> std::int64_t {
        for (auto at = frame;; --at) {
            if (at->key)
                return frame - at;
            if (at == log.begin())
                return -1;
        }
    };
    f.cutToNext = next - cut;
    const auto key = std::find_if(next, log.end(), [](const auto& frame) { return frame.key && !frame.hit; });
    f.cutToKey = key == log.end() ? -1 : key - cut;
    f.shownSinceKey = sinceKey(cut - 1);
    f.cutSinceKey = sinceKey(cut);
    f.nextSinceKey = sinceKey(next);
    f.frameCycle = frameCycle;
    f.frameMs = static_cast<double>(log.back().firstPacketUs - log.front().firstPacketUs) / 1000.0
        / static_cast<double>(log.size() - 1);
    return f;
}

std::int64_t OutageResume::droppedAfterGap(const Frames& f)
{
    if (f.nextSinceKey == 0 || f.frameCycle <= 0)
        return 0;
    // The decoder's frames run on from the last it decoded, within one cycle:
    // a frame number of 0 reads as a wrap, so as later than anything before.
    const std::int64_t last = f.shownSinceKey % f.frameCycle, first = f.nextSinceKey % f.frameCycle;
    if (first == 0)
        return 0;
    return std::max<std::int64_t>(0, last - first);
}

CellFigures::StallTruth OutageResume::stall(const Frames& f, double gapMs, const std::string& sender,
                                            int slackFrames)
{
    CellFigures::StallTruth truth;
    truth.stalls = 1.0;
    if (f.cutToNext <= 0 || f.shownSinceKey < 0 || f.nextSinceKey < 0 || f.frameCycle <= 0 || f.frameMs <= 0.0) {
        truth.ms = gapMs;
        truth.toleranceMs = CellFigures::kKeyFrameSlackMs;
        truth.why = "the data gap (" + sender + " logged no frames either side of it); the picture waits for the "
                    "next key frame (1 s apart) and a frame either side";
        return truth;
    }
    const std::int64_t dropped = droppedAfterGap(f);
    std::int64_t resumed = f.cutToNext + dropped;
    if (f.cutToKey > 0)
        resumed = std::min(resumed, f.cutToKey);
    truth.ms = static_cast<double>(resumed) * f.frameMs;
    truth.toleranceMs = kStallToleranceMs + slackFrames * f.frameMs;
    char text[1100];
    std::snprintf(
        text, sizeof text,
        "by %s's frames: the picture stops at the first frame the outage hit and, the jitter buffer holding the "
        "frames after the %.0f-ms gap until they are due, moves again %lld frames after it: at the first frame "
        "that reached the player whole (%lld after, repairs included), and %lld frames on, as the decoder numbers "
        "it on from the last it showed (%lld and %lld frames from their key frames, modulo %lld) and drops the "
        "frames it orders before that one, or at the first key frame (%lld after); frames of %.1f ms, %.0f ms for "
        "the player's reads of its frames' times%s",
        sender.c_str(), gapMs, static_cast<long long>(resumed), static_cast<long long>(f.cutToNext),
        static_cast<long long>(dropped), static_cast<long long>(f.nextSinceKey), static_cast<long long>(f.shownSinceKey),
        static_cast<long long>(f.frameCycle), static_cast<long long>(f.cutToKey), f.frameMs, kStallToleranceMs,
        slackFrames > 0 ? " and a frame either side: frames at the gap's edges, in part repaired, reach the decoder "
                          "differently in runs with the same log"
                        : "");
    truth.why = text;
    return truth;
}

} // namespace zephyrscope::bench

#include "OutageResume.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>
#include <optional>

namespace zephyrscope::bench {

namespace {

// The player times a stall by its frames' times; its reads of them and the
// frames' mean spacing at the sender, a few ms over a stall.
constexpr double kStallToleranceMs = 20.0;

// The player's watch (DataFlowWatch): a live picture whose sink holds the next
// frame this long past the last one's and a frame's time has stalled, as has
// any picture standing still for kFrozenMs.
constexpr double kLiveStallMs = 1000.0, kFrozenMs = 3000.0;
// It looks every kWatchPeriodMs, and not before the picture stood kPictureStillMs.
constexpr double kWatchPeriodMs = 100.0, kPictureStillMs = 500.0;
// The video sink's max-lateness.
constexpr double kMaxLatenessMs = 20.0;
// How far the relay's and the player's clocks may be read apart.
constexpr double kClockReadMs = 10.0;

double msOf(std::int64_t us)
{
    return static_cast<double>(us) / 1000.0;
}

double median(std::vector<double> values)
{
    if (values.empty())
        return 0.0;
    const auto middle = values.begin() + static_cast<std::ptrdiff_t>(values.size() / 2);
    std::nth_element(values.begin(), middle, values.end());
    return *middle;
}

// The player's frame interval: the median of the last nine spacings.
double lastNineMedian(const std::vector<double>& spacings)
{
    const std::size_t n = std::min<std::size_t>(9, spacings.size());
    return median(std::vector<double>(spacings.end() - static_cast<std::ptrdiff_t>(n), spacings.end()));
}

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

double OutageResume::senderFrameMs(const std::vector<tools::impair::FrameDamageBound::Frame>& log)
{
    if (log.size() < 8)
        return log.size() < 2 ? 0.0
                              : msOf(log.back().firstPacketUs - log.front().firstPacketUs)
                / static_cast<double>(log.size() - 1);
    // Between the least-delayed frame of the first quarter and that of the last
    // (against the mean pace): neither the cap's holds nor a stumble of the
    // sender move it.
    const double meanMs = msOf(log.back().firstPacketUs - log.front().firstPacketUs) / static_cast<double>(log.size() - 1);
    const std::size_t quarter = log.size() / 4;
    const auto leastDelayed = [&](std::size_t from, std::size_t to) {
        std::size_t best = from;
        for (std::size_t i = from; i < to; ++i) {
            if (msOf(log[i].firstPacketUs) - static_cast<double>(i) * meanMs
                < msOf(log[best].firstPacketUs) - static_cast<double>(best) * meanMs)
                best = i;
        }
        return best;
    };
    const std::size_t a = leastDelayed(0, quarter), b = leastDelayed(log.size() - quarter, log.size());
    return msOf(log[b].firstPacketUs - log[a].firstPacketUs) / static_cast<double>(b - a);
}

std::vector<OutageResume::Shown> OutageResume::shownUnderLoss(
    const std::vector<tools::impair::FrameDamageBound::Frame>& log, std::int64_t frameCycle, double latencyMs)
{
    std::vector<Shown> shown;
    if (log.size() < 2 || frameCycle <= 0)
        return shown;
    const double frameMs = senderFrameMs(log);
    double baseMs = std::numeric_limits<double>::max();
    for (std::size_t i = 0; i < log.size(); ++i)
        baseMs = std::min(baseMs, msOf(log[i].firstPacketUs) - static_cast<double>(i) * frameMs);
    const auto dueMs = [&](std::size_t i) { return baseMs + static_cast<double>(i) * frameMs + latencyMs; };
    std::vector<std::size_t> demuxed;
    for (std::size_t i = 0; i < log.size(); ++i) {
        if (log[i].demuxed)
            demuxed.push_back(i);
    }
    // The decoder's count of wrapped frame numbers, the last frame number, the
    // last order shown (none after a key frame), and its QoS's earliest time.
    std::int64_t wraps = 0, lastNumber = 0, sinceKey = -1;
    std::optional<std::int64_t> lastShownOrder;
    double earliestMs = std::numeric_limits<double>::lowest();
    std::size_t counted = 0; // frames up to here numbered by sinceKey
    bool started = false;    // nothing decodes before the first key frame the decoder gets
    for (std::size_t j = 0; j + 1 < demuxed.size(); ++j) {
        const std::size_t i = demuxed[j];
        for (; counted <= i; ++counted)
            sinceKey = log[counted].key ? 0 : sinceKey < 0 ? -1 : sinceKey + 1;
        const std::int64_t number = sinceKey % frameCycle;
        if (sinceKey == 0) {
            started = true;
            wraps = lastNumber = 0;
            lastShownOrder.reset();
        } else if (!started) {
            continue;
        } else if (number == 0 && lastNumber != 0) {
            ++wraps;
        }
        lastNumber = number;
        const std::int64_t order = wraps * frameCycle + number;
        if (lastShownOrder && order < *lastShownOrder)
            continue; // "no picture ooo"
        lastShownOrder = order;
        const std::size_t next = demuxed[j + 1];
        const double reachedMs = msOf(log[next].lastPacketUs > 0 ? log[next].lastPacketUs : log[next].firstPacketUs);
        const double lateMs = reachedMs - dueMs(i);
        if (dueMs(i) < earliestMs)
            continue;
        if (lateMs > kMaxLatenessMs) {
            earliestMs = dueMs(i) + 2.0 * lateMs + frameMs;
            continue;
        }
        shown.push_back({i, dueMs(i), reachedMs});
    }
    return shown;
}

CellFigures::StallTruth OutageResume::stallsUnderLoss(const std::vector<Shown>& shown, double frameMs,
                                                      double measuredMs)
{
    // One reading of the picture, the stalls that may go either way taken as
    // mask's bits say, in order: how many stalls, their sum, and how many of them
    // might have gone either way.
    struct Reading {
        int stalls = 0, either = 0, eitherTaken = 0;
        double ms = 0.0;
    };
    const auto read = [&](std::uint32_t mask) {
        Reading r;
        std::vector<double> spacings;
        std::size_t resumedWith = std::numeric_limits<std::size_t>::max();
        for (std::size_t k = 1; k < shown.size(); ++k) {
            const Shown& a = shown[k - 1];
            const Shown& b = shown[k];
            const double gapMs = b.dueMs - a.dueMs;
            const double before = spacings.empty() ? frameMs : lastNineMedian(spacings);
            spacings.push_back(gapMs);
            const double with = lastNineMedian(spacings);
            // The watch sees the sink hold b once the picture has stood half a
            // second, at its next look, if a second and a frame lie between them.
            const double heldFromMs = std::max(b.reachedSinkMs, a.dueMs + kPictureStillMs);
            const double heldMs = b.dueMs - heldFromMs, edgeMs = gapMs - frameMs - kLiveStallMs;
            double ms = -1.0;
            if (a.frame != resumedWith && edgeMs >= -kRebasedMs && heldMs > 0.0 && heldFromMs < a.dueMs + kFrozenMs) {
                const bool either = edgeMs <= kRebasedMs || heldMs < kWatchPeriodMs;
                if (!either || ((mask >> std::min(r.either, 31)) & 1u) != 0)
                    ms = gapMs - with;
                r.eitherTaken += either && ms >= 0.0 ? 1 : 0;
                r.either += either ? 1 : 0;
            } else if (gapMs >= kFrozenMs) {
                ms = gapMs - before;
            }
            if (ms >= 0.0) {
                ++r.stalls;
                r.ms += ms;
                resumedWith = b.frame;
            }
        }
        return r;
    };
    Reading best = read(0);
    int eitherWay = best.either;
    for (std::uint32_t mask = 1; mask < (1u << std::min(eitherWay, 12)); ++mask) {
        const Reading r = read(mask);
        eitherWay = std::max(eitherWay, r.either);
        if (std::fabs(r.ms - measuredMs) < std::fabs(best.ms - measuredMs))
            best = r;
    }
    CellFigures::StallTruth truth;
    truth.stalls = best.stalls;
    truth.ms = best.ms;
    truth.toleranceMs = std::min(200.0, best.stalls * (frameMs + kRebasedMs) + kClockReadMs);
    char text[300];
    std::snprintf(text, sizeof text,
                  "%d stalls, %d of them of the %d that may go either way (the reading nearest the player's sum)",
                  best.stalls, best.eitherTaken, best.either);
    truth.why = text;
    return truth;
}

} // namespace zephyrscope::bench

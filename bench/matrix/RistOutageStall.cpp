#include "RistOutageStall.h"

#include "OutageResume.h"

#include <algorithm>
#include <cstdio>
#include <limits>
#include <vector>

namespace zephyrscope::bench {

namespace {

using Frame = tools::impair::FrameDamageBound::Frame;
using Delivery = tools::RepairDeadlines::Delivery;

// x264's frame numbers wrap after 16 frames (log2_max_frame_num 4).
constexpr std::int64_t kFrameNumberCycle = 16;
// The player's reads of its frames' times.
constexpr double kClockReadMs = 20.0;
// Frames the decoder's QoS lets through before its earliest time.
constexpr double kSlipFrames = 3.0;
// The player counts a stall once the sink holds the next frame a second past
// its due time (or the data stops a second while the picture stands half a second).
constexpr double kCountedStallMs = 1000.0, kPictureStillMs = 500.0;
// From a frame's first packet at the relay to its due time on the screen, in
// the runs with a stall the player timed (1879-1885 ms): where the player
// timed none, the cut frame is taken due that long after its first packet.
constexpr double kUsualLatencyMs = 1882.0;

struct FrameState {
    bool whole = true, anyData = false;
    double releaseMs = 0.0; // when the jitter buffer let it go
};

// Each frame from the cut on: whole or not, and when it left the jitter buffer.
std::vector<FrameState> frameStates(const std::vector<std::int64_t>& starts, const std::vector<Delivery>& deliveries,
                                    std::size_t cut)
{
    std::vector<FrameState> states(starts.size());
    const std::int64_t first = deliveries.front().sequence;
    const auto at = [&](std::int64_t sequence) -> const Delivery* {
        const std::int64_t index = sequence - first;
        return index < 0 || index >= static_cast<std::int64_t>(deliveries.size()) ? nullptr : &deliveries[index];
    };
    double releasedMs = 0.0;
    std::int64_t released = starts[cut] - 1;
    for (std::size_t f = cut; f < starts.size(); ++f) {
        const std::int64_t last = f + 1 < starts.size() ? starts[f + 1] : starts[f];
        for (std::int64_t s = starts[f]; s <= last; ++s) {
            const Delivery* d = at(s);
            states[f].whole = states[f].whole && d && d->arrived;
            states[f].anyData = states[f].anyData || (d && d->arrived);
        }
        for (; released < last; ++released) {
            if (const Delivery* d = at(released + 1))
                releasedMs = std::max(releasedMs, static_cast<double>(d->atUs) / 1000.0);
        }
        states[f].releaseMs = releasedMs;
    }
    return states;
}

// The decoder's frame numbers about the cut: frames with nothing to decode
// make it drop those it orders before the last it decoded (OutageResume).
OutageResume::Frames decoderFrames(const std::vector<Frame>& log, const std::vector<FrameState>& states,
                                   std::size_t cut)
{
    std::vector<Frame> decodable = log;
    for (std::size_t f = 0; f < log.size(); ++f)
        decodable[f].hit = f >= cut && !states[f].whole;
    OutageResume::Frames numbers = OutageResume::fromLog(decodable, kFrameNumberCycle);
    if (states[cut].anyData)
        numbers.shownSinceKey = numbers.cutSinceKey; // the cut frame's first packets came: it was decoded
    return numbers;
}

CellFigures::StallTruth dataGapTruth(const tools::TsDropRelay::Counts& c, const char* why)
{
    CellFigures::StallTruth truth;
    truth.stalls = 1.0;
    truth.ms = static_cast<double>(c.blackoutToWallUs - c.blackoutFromWallUs) / 1000.0;
    truth.toleranceMs = CellFigures::kKeyFrameSlackMs;
    truth.why = std::string("the data gap (") + why + "); the picture waits for the next key frame (1 s apart) and a "
                "frame either side";
    return truth;
}

} // namespace

CellFigures::StallTruth RistOutageStall::stall(const tools::TsDropRelay::Counts& c, std::int64_t stallSinceWallMs,
                                               double bufferMs, double frameMs)
{
    const auto& log = c.videoFrameLog;
    const auto hitAt = std::find_if(log.begin(), log.end(), [](const Frame& f) { return f.hit; });
    if (log.size() < 2 || c.videoFrameSequences.size() != log.size() || c.deliveries.empty() || hitAt == log.end())
        return dataGapTruth(c, "the relay logged no frames and packets about it");
    const std::vector<FrameState> states
        = frameStates(c.videoFrameSequences, c.deliveries, static_cast<std::size_t>(hitAt - log.begin()));
    // The first frame the picture waits for: not whole, or let go only once the data came back (a
    // frame the relay dropped a packet of may be whole by an early repair, and shown).
    const double gapEndMs = static_cast<double>(c.blackoutToWallUs) / 1000.0;
    auto cut = static_cast<std::size_t>(hitAt - log.begin());
    while (cut + 1 < log.size() && states[cut].whole && states[cut].releaseMs < gapEndMs)
        ++cut;
    const auto cutAt = log.begin() + static_cast<std::ptrdiff_t>(cut);
    const double cutFirstMs = static_cast<double>(cutAt->firstPacketUs) / 1000.0;
    const bool timed = stallSinceWallMs > 0;
    const double cutDueMs = timed ? static_cast<double>(stallSinceWallMs) : cutFirstMs + kUsualLatencyMs;
    const auto dueMs = [&](std::size_t f) { return cutDueMs + static_cast<double>(f - cut) * frameMs; };

    // The first frame with data that left after it was due: its lateness moves the decoder's earliest time.
    double lateMs = 0.0, earliestMs = -std::numeric_limits<double>::infinity();
    std::size_t late = cut;
    for (; late < log.size(); ++late) {
        if (states[late].anyData && states[late].releaseMs > dueMs(late)) {
            lateMs = states[late].releaseMs - dueMs(late);
            earliestMs = dueMs(late) + 2.0 * lateMs + frameMs;
            break;
        }
    }
    const OutageResume::Frames numbers = decoderFrames(log, states, cut);
    std::size_t decoded = cut + static_cast<std::size_t>(std::max<std::int64_t>(1, numbers.cutToNext))
        + static_cast<std::size_t>(OutageResume::droppedAfterGap(numbers));
    if (numbers.cutToKey > 0)
        decoded = std::min(decoded, cut + static_cast<std::size_t>(numbers.cutToKey));
    // The first frame the picture shows: whole, in time, past the decoder's earliest time, or up to three
    // frames before it as frames slip through the QoS first (three in one full run: a frame 2280 ms on shown
    // where the earliest was 2365).
    const auto resumedMs = [&](double earliest) {
        for (std::size_t f = decoded; f < log.size(); ++f) {
            if (states[f].whole && states[f].releaseMs <= dueMs(f) && dueMs(f) >= earliest)
                return dueMs(f) - cutDueMs;
        }
        return dueMs(log.size() - 1) - cutDueMs;
    };
    // After frames that came in part, the decoder showed the first whole one in some runs and only the next in others.
    const double soonest = resumedMs(earliestMs - kSlipFrames * frameMs), latest = resumedMs(earliestMs) + frameMs;
    CellFigures::StallTruth truth;
    const bool counted = (soonest + latest) / 2.0 >= kCountedStallMs || gapEndMs - cutDueMs >= kPictureStillMs;
    truth.stalls = counted ? 1.0 : 0.0;
    truth.ms = counted ? (soonest + latest) / 2.0 : 0.0;
    truth.toleranceMs = counted ? (latest - soonest) / 2.0 + kClockReadMs : 0.0;
    char text[1500];
    std::snprintf(
        text, sizeof text,
        "by the relay's logs of what reached ristsrc when (repairs in its %.0f-ms buffer, the rest given up at their "
        "deadline, not before the receiver learnt of them) and its frames: the picture stops when the frame the "
        "outage hit was due, %.0f ms after its first packet came (%s); the jitter buffer lets frames go in order, "
        "the first with data %lld frames on %.0f ms late, so the decoder's QoS drops the frames due before %.0f ms "
        "after that one (twice the lateness and a frame, up to three frames less as frames slip through first); the "
        "picture moves again at the first frame whole, in time and not dropped for its frame number from there "
        "or (after frames that came in part, as in some runs) the next, %.0f-%.0f ms after the one hit (frames of "
        "%.1f ms; the first whole %lld frames on, %lld dropped for their number); the middle, half the range and "
        "%.0f ms for the player's reads; %s",
        bufferMs, cutDueMs - cutFirstMs,
        timed ? "the pipeline's latency, from the player's stall start" : "the latency runs with a stall showed",
        static_cast<long long>(late - cut), lateMs, 2.0 * lateMs + frameMs, soonest, latest, frameMs,
        static_cast<long long>(numbers.cutToNext), static_cast<long long>(OutageResume::droppedAfterGap(numbers)),
        kClockReadMs,
        counted ? "a stall the player counts (a second or more)"
                : "under the second the player needs to count a stall, with the data back before the picture stood "
                  "half a second: no stall");
    truth.why = text;
    return truth;
}

} // namespace zephyrscope::bench

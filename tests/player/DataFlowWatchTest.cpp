// The data-flow watch on its own, with time moved by hand.

#include "DataFlowWatch.h"

#include <gtest/gtest.h>

using namespace zephyrscope;

namespace {

using Verdict = DataFlowWatch::Verdict;
using Phase = DataFlowWatch::Phase;

constexpr std::int64_t kMs = 1000;
constexpr std::int32_t kTimeoutMs = 5000;

// One entry as the watch sees it, looked at every 100 ms as the playback does.
struct Entry {
    DataFlowWatch watch {kTimeoutMs};
    DataFlowWatch::Sight sight;

    Verdict look() { return watch.look(sight); }
    // Moves time on in steps of 100 ms; the first verdict other than None, with its time.
    Verdict runFor(std::int64_t ms, bool framesFlow, bool dataFlows)
    {
        for (std::int64_t t = 0; t < ms; t += 100) {
            sight.nowUs += 100 * kMs;
            if (framesFlow)
                sight.lastFrameUs = sight.nowUs;
            if (dataFlows)
                sight.bytes += 1316;
            if (const Verdict verdict = look(); verdict != Verdict::None)
                return verdict;
        }
        return Verdict::None;
    }
};

Entry LiveNetworkEntry()
{
    Entry entry;
    entry.sight = {1000 * kMs, Phase::Playing, true, true, 1, true, 1000 * kMs, 0};
    return entry;
}

} // namespace

TEST(DataFlowWatch, ALiveSourceSilentForASecondWithItsPictureStillStallsThenResumesWithData)
{
    Entry entry = LiveNetworkEntry();
    ASSERT_EQ(entry.runFor(2000, true, true), Verdict::None);
    // Silent, but the jitter buffer still plays: no stall while pictures come.
    EXPECT_EQ(entry.runFor(1500, true, false), Verdict::None);
    const std::int64_t silentFrom = entry.sight.nowUs;
    EXPECT_EQ(entry.runFor(5000, false, false), Verdict::Stall);
    EXPECT_GE(entry.sight.nowUs - silentFrom, DataFlowWatch::kPictureStillUs);
    EXPECT_TRUE(entry.watch.stalled());
    entry.sight.phase = Phase::Buffering;
    EXPECT_EQ(entry.runFor(500, false, false), Verdict::None);
    EXPECT_EQ(entry.runFor(100, false, true), Verdict::Resume);
    EXPECT_FALSE(entry.watch.stalled());
}

TEST(DataFlowWatch, ALivePictureWhoseSinkHoldsItsNextFrameASecondLateStallsThoughDataComes)
{
    // 25 fps; a late burst re-timed to its arrival: the sink holds the next
    // frame for 1.05 s after the last one shown, while data keeps coming.
    Entry entry = LiveNetworkEntry();
    entry.sight.frameIntervalUs = 40 * kMs;
    ASSERT_EQ(entry.runFor(2000, true, true), Verdict::None);
    const std::int64_t lastFrame = entry.sight.lastFrameUs;
    entry.sight.heldFrameDueUs = lastFrame + 1090 * kMs;
    EXPECT_EQ(entry.runFor(400, false, true), Verdict::None); // not still for long enough yet
    EXPECT_EQ(entry.runFor(200, false, true), Verdict::Stall);
    EXPECT_EQ(entry.sight.nowUs - lastFrame, DataFlowWatch::kPictureStillUs);
    entry.sight.phase = Phase::Buffering;
    EXPECT_EQ(entry.runFor(100, true, true), Verdict::Resume);

    // A frame a second apart is that stream's own pace, and one held 0.9 s late no stall.
    Entry slow = LiveNetworkEntry();
    slow.sight.frameIntervalUs = 1000 * kMs;
    slow.sight.heldFrameDueUs = slow.sight.lastFrameUs + 1000 * kMs;
    EXPECT_EQ(slow.runFor(900, false, true), Verdict::None);
    Entry shortHold = LiveNetworkEntry();
    shortHold.sight.frameIntervalUs = 40 * kMs;
    shortHold.sight.heldFrameDueUs = shortHold.sight.lastFrameUs + 940 * kMs;
    EXPECT_EQ(shortHold.runFor(900, false, true), Verdict::None);

    // A stall that ended as data came back, whose first new picture the sink
    // holds for later: that frame ends the same stall and starts no other.
    Entry outage = LiveNetworkEntry();
    outage.sight.frameIntervalUs = 40 * kMs;
    ASSERT_EQ(outage.runFor(2000, true, true), Verdict::None);
    ASSERT_EQ(outage.runFor(2000, false, false), Verdict::Stall);
    outage.sight.phase = Phase::Buffering;
    ASSERT_EQ(outage.runFor(100, false, true), Verdict::Resume);
    outage.sight.phase = Phase::Playing;
    outage.sight.heldFrameDueUs = outage.sight.nowUs + 800 * kMs;
    EXPECT_EQ(outage.runFor(700, false, true), Verdict::None);
    // Once a picture moved after it, a held frame is a stall of its own again.
    outage.sight.lastFrameUs = outage.sight.nowUs;
    outage.sight.heldFrameDueUs = outage.sight.lastFrameUs + 1090 * kMs;
    EXPECT_EQ(outage.runFor(600, false, true), Verdict::Stall);
}

TEST(DataFlowWatch, ASilentNetworkEntryInBufferingFailsAtTheNoDataTimeout)
{
    Entry entry = LiveNetworkEntry();
    ASSERT_EQ(entry.runFor(500, true, true), Verdict::None);
    const std::int64_t lastData = entry.sight.nowUs;
    ASSERT_EQ(entry.runFor(5000, false, false), Verdict::Stall);
    entry.sight.phase = Phase::Buffering;
    EXPECT_EQ(entry.runFor(10000, false, false), Verdict::NoData);
    EXPECT_EQ(entry.sight.nowUs - lastData, kTimeoutMs * kMs);
    EXPECT_EQ(entry.watch.reason(), "no data for 5 s");
}

TEST(DataFlowWatch, AnyEntryWhosePictureFreezesWhilePlayingStallsThenFails)
{
    // A local clip: no bytes watched, and not live; only its pictures.
    Entry entry;
    entry.sight = {1000 * kMs, Phase::Playing, false, false, 0, true, 1000 * kMs, 0};
    ASSERT_EQ(entry.runFor(2000, true, false), Verdict::None);
    const std::int64_t lastFrame = entry.sight.lastFrameUs;
    EXPECT_EQ(entry.runFor(10000, false, false), Verdict::Stall);
    EXPECT_EQ(entry.sight.nowUs - lastFrame, DataFlowWatch::kFrozenPictureUs);

    // Resumed by the next picture ...
    entry.sight.phase = Phase::Buffering;
    EXPECT_EQ(entry.runFor(100, true, false), Verdict::Resume);
    // ... and, frozen again, failed once the timeout has passed since the last one.
    entry.sight.phase = Phase::Playing;
    const std::int64_t frozenAt = entry.sight.lastFrameUs;
    ASSERT_EQ(entry.runFor(10000, false, false), Verdict::Stall);
    entry.sight.phase = Phase::Buffering;
    EXPECT_EQ(entry.runFor(10000, false, false), Verdict::NoData);
    EXPECT_EQ(entry.sight.nowUs - frozenAt, kTimeoutMs * kMs);
    EXPECT_EQ(entry.watch.reason(), "no picture for 5 s");
}

TEST(DataFlowWatch, AudioAndOpeningEntriesAreNotStalledByTheirPicture)
{
    Entry audio;
    audio.sight = {1000 * kMs, Phase::Playing, false, false, 0, false, 0, 0};
    EXPECT_EQ(audio.runFor(20000, false, false), Verdict::None);

    Entry opening = LiveNetworkEntry();
    opening.sight.phase = Phase::Other;
    EXPECT_EQ(opening.runFor(40000, false, false), Verdict::None);
}

TEST(DataFlowWatch, ASegmentFailingForASecondIsGivenUpInAnyPhase)
{
    Entry entry = LiveNetworkEntry();
    entry.sight.phase = Phase::Other;
    entry.sight.segmentFailingSinceUs = entry.sight.nowUs;
    EXPECT_EQ(entry.runFor(900, true, true), Verdict::None);
    EXPECT_EQ(entry.runFor(100, true, true), Verdict::SegmentGivenUp);
}

// A clip whose end of stream the engine lost: its position stands at the end.
TEST(DataFlowWatch, ClipStandingAtItsEndHasEndedButNotOneStillShortOfIt)
{
    for (const std::int64_t positionMs : {3000, 2600, 1000}) {
        Entry entry;
        entry.sight.phase = Phase::Playing;
        entry.sight.durationUs = 3020 * kMs;
        entry.sight.videoKnown = true;
        entry.sight.lastFrameUs = entry.sight.nowUs = 10000 * kMs;
        EXPECT_FALSE(DataFlowWatch::wantsPosition(entry.sight)) << "pictures still come";
        entry.sight.positionUs = positionMs * kMs;
        Verdict verdict = Verdict::None;
        std::int64_t waitedMs = 0;
        while (verdict == Verdict::None && waitedMs < 2000) {
            entry.sight.nowUs += 100 * kMs;
            waitedMs += 100;
            verdict = entry.look();
        }
        if (positionMs >= 2600) {
            EXPECT_EQ(verdict, Verdict::Ended) << positionMs;
            EXPECT_EQ(waitedMs, 1100) << "a second standing still, seen at the next look";
        } else {
            EXPECT_EQ(verdict, Verdict::None) << "short of its end, it is a stall, not an end";
        }
        EXPECT_TRUE(DataFlowWatch::wantsPosition(entry.sight));
    }
    Entry live;
    live.sight = {.nowUs = 1, .phase = Phase::Playing, .live = true, .durationUs = 3000 * kMs, .positionUs = 3000 * kMs};
    EXPECT_FALSE(DataFlowWatch::wantsPosition(live.sight));
    EXPECT_EQ(live.runFor(2000, false, false), Verdict::None) << "a live stream has no end to stand at";
}
